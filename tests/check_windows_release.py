#!/usr/bin/python3
"""Unpacks the release zip and checks the Windows program as users get it.

Usage: check_windows_release.py ZIP FOLDER

The zip must hold exactly halvane-menu.exe, README.txt, Edit menus.cmd and
Check menus.cmd, the texts with CR LF line ends, README.txt plain text for Windows users,
and is unpacked into FOLDER. The .exe must be small (no C++ exception
machinery linked in), a 32-bit console program
carrying the version resource and an asInvoker manifest, and import nothing
Windows XP lacks. Prints what it found; exits 1 at the first thing wrong.
"""
import pathlib
import re
import sys
import zipfile

import pefile

VERSION_STRINGS = {
    "FileDescription": "Halvane menu creator",
    "ProductName": "Halvane menu creator",
    "FileVersion": "1.0.0.0",
    "ProductVersion": "1.0.0.0",
    "OriginalFilename": "halvane-menu.exe",
    "InternalName": "halvane-menu",
}
VERSION_NUMBERS = (1 << 16, 0)  # 1.0 and 0.0, as the MS and LS halves
RT_MANIFEST = 24
XP_IMPORTS = pathlib.Path(__file__).with_name("windows_xp_imports.txt")


def fail(message):
    print("release check: " + message)
    sys.exit(1)


# The program links no C++ exception machinery: a library call that can throw
# (a range-checked substr, a vector that grows) brings it in, with its
# demangler, and the program grows by about 90 KiB past this. It is about
# 240 KiB without.
MAX_SIZE = 256 * 1024


def check_exe(path):
    size = pathlib.Path(path).stat().st_size
    if size > MAX_SIZE:
        fail(f"the program is {size // 1024} KiB, more than {MAX_SIZE // 1024}: has a throwing call crept in?")
    print(f"size: {size // 1024} KiB")
    pe = pefile.PE(path)
    if pe.FILE_HEADER.Machine != pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"]:
        fail("not an i386 program")
    if pe.OPTIONAL_HEADER.Subsystem != pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_CUI"]:
        fail("not a console program")

    strings = {}
    for info in getattr(pe, "FileInfo", []):
        for entry in info:
            for table in getattr(entry, "StringTable", []):
                strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
    for key, value in VERSION_STRINGS.items():
        if strings.get(key) != value:
            fail(f"version resource {key} is {strings.get(key)!r}, not {value!r}")
    fixed = pe.VS_FIXEDFILEINFO[0]
    for name in ("FileVersion", "ProductVersion"):
        numbers = (getattr(fixed, name + "MS"), getattr(fixed, name + "LS"))
        if numbers != VERSION_NUMBERS:
            fail(f"{name} numbers are {numbers}, not {VERSION_NUMBERS}")
    print("version resource:", ", ".join(f"{k} {v}" for k, v in sorted(strings.items())))

    manifest = None
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if kind.id == RT_MANIFEST:
            data = kind.directory.entries[0].directory.entries[0].data.struct
            manifest = pe.get_data(data.OffsetToData, data.Size).decode()
    if manifest is None or 'level="asInvoker"' not in manifest:
        fail("no manifest asking to run asInvoker")
    print("manifest: asInvoker, %d supportedOS entries" % manifest.count("<supportedOS"))

    allowed = set()
    for line in XP_IMPORTS.read_text().splitlines():
        if line and not line.startswith("#"):
            dll, *functions = line.split()
            allowed.update((dll.lower(), f) for f in functions)
    imported = [(d.dll.decode().lower(), i.name.decode() if i.name else f"#{i.ordinal}")
                for d in pe.DIRECTORY_ENTRY_IMPORT for i in d.imports]
    extra = sorted(f"{dll} {name}" for dll, name in imported if (dll, name) not in allowed)
    if extra:
        fail("imports not on the Windows XP list: " + ", ".join(extra))
    print(f"imports: {len(imported)} functions, all on the Windows XP list")


# README.txt is for Windows users: plain text a console or Notepad shows as
# it stands, and not a word about what only those who build the program need.
MAX_COLUMNS = 79
NOT_FOR_USERS = ["linux", "cmake", "apt-get", "debian", "wine", "mingw", "posix", "build", "fuzz", "test"]
# What a Windows user asks first: how the files travel, Notepad's hidden
# .txt, the backups, and every message the program can show.
FOR_USERS = ["copy the hvn folder", ".txt", "games.ini.bak", "File check failed", "Next selection",
             "Bad directory path", "No such entry, nothing removed", "changed since it was read",
             "Changes not written", "Could not write", "Cannot keep", "Wrote", "No such choice",
             "List is full", "Name or path too long", "Usage: halvane-menu", "may not start on the console",
             "Not taken", "42 characters", "Could not reach", "ftp://xbox@"]


def check_text(name, text):
    if text.count(b"\n") == 0 or text.count(b"\n") != text.count(b"\r\n"):
        fail(f"{name} does not end its lines with CR LF")


def check_readme(text):
    lines = text.decode("ascii").split("\r\n")
    wide = [n + 1 for n, line in enumerate(lines) if len(line) > MAX_COLUMNS]
    if wide:
        fail(f"README.txt lines {wide} are wider than {MAX_COLUMNS} columns")
    if "`" in text.decode() or any(line.lstrip().startswith("|") for line in lines):
        fail("README.txt holds Markdown")
    words = [word for word in NOT_FOR_USERS if re.search(r"\b" + word + r"\b", text.decode().lower())]
    if words:
        fail(f"README.txt speaks of {words}")
    missing = [words for words in FOR_USERS if words not in " ".join(line.strip() for line in lines)]
    if missing:
        fail(f"README.txt says nothing of {missing}")


def unpack(zip_path, folder):
    with zipfile.ZipFile(zip_path) as archive:
        names = sorted(archive.namelist())
        if names != ["Check menus.cmd", "Edit menus.cmd", "README.txt", "halvane-menu.exe"]:
            fail(f"the zip holds {names}")
        for name in ("README.txt", "Edit menus.cmd", "Check menus.cmd"):
            check_text(name, archive.read(name))
        check_readme(archive.read("README.txt"))
        for name, option in (("Edit menus.cmd", "--keep"), ("Check menus.cmd", "--check")):
            command = [line.strip() for line in archive.read(name).decode("ascii").split("\r\n")]
            if "halvane-menu.exe " + option not in command:
                fail(f"{name} does not start the program with {option}")
            # cd cannot enter a network share; pushd maps it to a drive letter.
            # The window stays open after the program's last words, success too.
            if 'pushd "%~dp0"' not in command or "pause" not in command:
                fail(f"{name} does not pushd to its folder and pause after the program")
        archive.extractall(folder)
    print("zip:", ", ".join(names), f"(README.txt plain, CR LF, within {MAX_COLUMNS} columns)")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        fail("usage: check_windows_release.py ZIP FOLDER")
    unpack(sys.argv[1], sys.argv[2])
    check_exe(str(pathlib.Path(sys.argv[2]) / "halvane-menu.exe"))
