#!/usr/bin/python3
"""A console's FTP server for the tests, on the loopback address.

Usage: ftp_server.py ROOT PORT_FILE [--quota BYTES] [--refuse-rename-over]
                     [--stop-at N] [--mute]

Serves ROOT (whose top folders are the console's drives, E, F, ...) to user
xbox with password xbox, in passive mode, and writes the port it listens on
to PORT_FILE once it does. The options make it misbehave as consoles and
their disks do:
  --quota BYTES         a write that would make the files under ROOT larger
                        fails as a full disk does
  --refuse-rename-over  RNTO onto a name that exists is refused
  --stop-at N           the server ends at once when the N-th command that
                        changes a file (STOR, RNFR, DELE) arrives, before
                        doing it: a console switched off between two steps
  --mute                connections are accepted and never answered
"""
import errno
import os
import socket
import sys
import time

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.filesystems import AbstractedFS
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer

root, port_file = sys.argv[1], sys.argv[2]
options = sys.argv[3:]


def option(name, default=None):
    return options[options.index(name) + 1] if name in options else default


quota = int(option("--quota", "0"))
stop_at = int(option("--stop-at", "0"))
changes = 0


def used():
    return sum(os.path.getsize(os.path.join(d, f)) for d, _, files in os.walk(root) for f in files)


class QuotaFile:
    """A file being received that fails once the disk would be over quota."""

    def __init__(self, file):
        self.file = file

    def write(self, data):
        if quota and used() + self.file.tell() + len(data) > quota:
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
        return self.file.write(data)

    def __getattr__(self, name):
        return getattr(self.file, name)


class ConsoleFS(AbstractedFS):
    def open(self, filename, mode):
        file = super().open(filename, mode)
        return QuotaFile(file) if "w" in mode or "a" in mode else file

    def rename(self, src, dst):
        if "--refuse-rename-over" in options and os.path.exists(dst):
            raise OSError(errno.EEXIST, "File exists")
        super().rename(src, dst)


class ConsoleHandler(FTPHandler):
    abstracted_fs = ConsoleFS

    def pre_process_command(self, line, cmd, arg):
        global changes
        if cmd in ("STOR", "RNFR", "DELE"):
            changes += 1
            if changes == stop_at:
                os._exit(0)
        super().pre_process_command(line, cmd, arg)


def announce(port):
    with open(port_file + ".part", "w") as out:
        out.write(str(port))
    os.rename(port_file + ".part", port_file)


if "--mute" in options:
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    announce(listener.getsockname()[1])
    held = []
    while True:
        held.append(listener.accept()[0])

authorizer = DummyAuthorizer()
authorizer.add_user("xbox", "xbox", root, perm="elradfmwMT")
ConsoleHandler.authorizer = authorizer
ConsoleHandler.banner = "console FTP ready"
server = FTPServer(("127.0.0.1", 0), ConsoleHandler)
announce(server.address[1])
server.serve_forever(handle_exit=False)
