// POSIX side of platform.h.
#include "platform/platform.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

void prepareConsoleStreams() {
  // Without this, writing to a pipe whose reader has gone ends the process by
  // SIGPIPE with a non-zero status; the write error is handled like any other.
  std::signal(SIGPIPE, SIG_IGN);
}

std::size_t readBytes(int fd, char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = read(fd, buffer, size);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return 0;
  }
}

bool writeBytes(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool isReadableFile(const char* path) {
  // O_NONBLOCK keeps a FIFO in the file's place from stalling the start.
  const int fd = open(path, O_RDONLY | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat info;
  const bool readable = fstat(fd, &info) == 0 && !S_ISDIR(info.st_mode);
  close(fd);
  return readable;
}
