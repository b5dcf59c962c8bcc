// POSIX side of platform.h.
#include "platform/platform.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A descriptor in non-blocking mode (a caller may hand one over) answers
// EAGAIN where another would wait; that is no end and no error, so wait here.
bool waitIfBusy(int fd, short events) {
  if (errno != EAGAIN && errno != EWOULDBLOCK) return errno == EINTR;
  pollfd ready = {fd, events, 0};
  while (poll(&ready, 1, -1) < 0 && errno == EINTR) {
  }
  return true;
}

// Whoever runs the program may write the file, and its permission bits let
// somebody write it: a file without any write bit is read-only, even to root,
// as the read-only attribute is on Windows.
bool mayWrite(const char* path, const struct stat& file) {
  return (file.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0 &&
         faccessat(AT_FDCWD, path, W_OK, AT_EACCESS) == 0;
}

// Creates or truncates the file and writes `contents` in it. O_NONBLOCK keeps
// a FIFO swapped in from stalling the open, and anything but a file or a
// device is then refused.
bool writeInPlace(const char* path, std::string_view contents) {
  const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK, 0666);
  if (fd < 0) return false;
  struct stat file;
  const bool written = fstat(fd, &file) == 0 && (S_ISREG(file.st_mode) || S_ISCHR(file.st_mode)) &&
                       writeBytes(fd, contents.data(), contents.size());
  const bool closed = close(fd) == 0;
  return written && closed;
}

// Writes `contents` to a new file beside `target`, named after it so that one
// left by a power cut is recognisable ("apps.ini.k3F9xQ"), gives it the old
// file's owner and permissions, and renames it over `target`. On any failure
// the new file is removed and `target` is as it was. `folder_refused` tells
// whether the folder takes no new file at all.
bool writeReplacement(const std::string& target, const struct stat& old,
                      std::string_view contents, bool& folder_refused) {
  std::string temporary = target + ".XXXXXX";
  const int fd = mkstemp(temporary.data());
  if (fd < 0) {
    folder_refused = errno == EACCES || errno == EPERM || errno == EROFS;
    return false;
  }
  // Only a privileged process may give a file away; for anyone else the
  // refusal is expected. The owner goes first, as changing it clears set-id bits.
  if (fchown(fd, old.st_uid, old.st_gid) != 0) {
  }
  bool replaced = writeBytes(fd, contents.data(), contents.size()) && fsync(fd) == 0 &&
                  fchmod(fd, old.st_mode & 07777) == 0;
  replaced = close(fd) == 0 && replaced;
  replaced = replaced && rename(temporary.c_str(), target.c_str()) == 0;
  if (!replaced) unlink(temporary.c_str());
  return replaced;
}

}  // namespace

void prepareConsoleStreams() {
  // Without this, writing to a pipe whose reader has gone ends the process by
  // SIGPIPE with a non-zero status; the write error is handled like any other.
  std::signal(SIGPIPE, SIG_IGN);
}

// A terminal window stays open after its program has ended.
bool consoleClosesWithProgram() { return false; }

std::size_t readBytes(int fd, char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = read(fd, buffer, size);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (!waitIfBusy(fd, POLLIN)) return 0;
  }
}

bool writeBytes(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (!waitIfBusy(fd, POLLOUT)) return false;
      continue;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

int openReadableFile(const char* path) {
  // O_NONBLOCK keeps a FIFO in the file's place from stalling the open; it is
  // refused all the same, as reading it would wait for a writer.
  const int fd = open(path, O_RDONLY | O_NONBLOCK);
  if (fd < 0) return -1;
  struct stat file;
  if (fstat(fd, &file) == 0 && (S_ISREG(file.st_mode) || S_ISCHR(file.st_mode))) return fd;
  close(fd);
  return -1;
}

long readFileBytes(int fd, char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = read(fd, buffer, size);
    if (n >= 0 || errno != EINTR) return static_cast<long>(n);
  }
}

void closeFile(int fd) { close(fd); }

bool replaceFileContents(const char* path, std::string_view contents) {
  struct stat old;
  if (stat(path, &old) != 0) return errno == ENOENT && writeInPlace(path, contents);
  if (S_ISREG(old.st_mode) && !mayWrite(path, old)) return false;
  // Every other name of a hard-linked file, and a device, must see the new
  // contents, which only writing in place gives.
  if (!S_ISREG(old.st_mode) || old.st_nlink > 1) return writeInPlace(path, contents);
  // A symbolic link stays one: the file it names is replaced, in its folder.
  char* const resolved = realpath(path, nullptr);
  if (resolved == nullptr) return false;
  const std::string target = resolved;
  std::free(resolved);
  bool folder_refused = false;
  if (writeReplacement(target, old, contents, folder_refused)) return true;
  return folder_refused && writeInPlace(path, contents);
}
