// Windows side of platform.h.
#include "platform/platform.h"

#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

void prepareConsoleStreams() {
  // Byte mode: CR is then ordinary whitespace on input, 0x1A is not taken for
  // the end of input, and line ends on output are written as given.
  _setmode(kStandardInput, _O_BINARY);
  _setmode(kStandardOutput, _O_BINARY);
}

std::size_t readBytes(int fd, char* buffer, std::size_t size) {
  const unsigned chunk = size > INT_MAX ? INT_MAX : static_cast<unsigned>(size);
  const int n = _read(fd, buffer, chunk);
  return n > 0 ? static_cast<std::size_t>(n) : 0;
}

bool writeBytes(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const unsigned chunk = size > INT_MAX ? INT_MAX : static_cast<unsigned>(size);
    const int n = _write(fd, data, chunk);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool isReadableFile(const char* path) {
  const int fd = _open(path, _O_RDONLY | _O_BINARY);
  if (fd < 0) return false;
  struct _stat info;
  const bool readable = _fstat(fd, &info) == 0 && !(info.st_mode & _S_IFDIR);
  _close(fd);
  return readable;
}
