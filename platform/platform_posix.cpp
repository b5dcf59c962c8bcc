// POSIX side of platform.h.
#include "platform/platform.h"

#include <cerrno>
#include <csignal>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
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

}  // namespace

void prepareConsoleStreams() {
  // Without this, writing to a pipe whose reader has gone ends the process by
  // SIGPIPE with a non-zero status; the write error is handled like any other.
  std::signal(SIGPIPE, SIG_IGN);
}

std::size_t systemTextForConsole(char*, std::size_t size, std::size_t) { return size; }

bool isConsole(int fd) { return isatty(fd) == 1; }

std::string_view currentFolder(char (&buffer)[1024]) {
  if (getcwd(buffer, sizeof buffer) == nullptr) return {};
  return buffer;
}

// A terminal window stays open after its program has ended.
bool consoleClosesWithProgram() { return false; }

std::size_t readBytes(int fd, char* buffer, std::size_t size, UnheldCharacters* unheld) {
  if (unheld != nullptr) unheld->count = 0;
  for (;;) {
    const ssize_t n = read(fd, buffer, size);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (!waitIfBusy(fd, POLLIN)) return 0;
  }
}

OutputFailure writeBytes(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (!waitIfBusy(fd, POLLOUT)) return {true, errno == EPIPE, std::strerror(errno)};
      continue;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return {};
}

long readFileBytes(int fd, char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = read(fd, buffer, size);
    if (n >= 0 || errno != EINTR) return static_cast<long>(n);
  }
}

void closeFile(int fd) { close(fd); }

bool fileIdentity(int fd, FileIdentity& identity) {
  struct stat file;
  if (fstat(fd, &file) != 0) return false;
  identity = {static_cast<unsigned long long>(file.st_dev), static_cast<unsigned long long>(file.st_ino)};
  return true;
}

PathKind pathKind(const char* path) {
  struct stat info;
  if (stat(path, &info) != 0) return errno == ENOENT ? PathKind::kNothing : PathKind::kOther;
  return S_ISDIR(info.st_mode) ? PathKind::kFolder : PathKind::kOther;
}

long readHiddenLine(char* buffer, std::size_t size) {
  termios shown;
  if (tcgetattr(kStandardInput, &shown) != 0) return -1;
  termios hidden = shown;
  hidden.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  tcsetattr(kStandardInput, TCSAFLUSH, &hidden);
  std::size_t length = 0;
  for (char c; read(kStandardInput, &c, 1) == 1 && c != '\n' && c != '\r';)
    if (length + 1 < size) buffer[length++] = c;
  buffer[length] = '\0';
  tcsetattr(kStandardInput, TCSAFLUSH, &shown);
  writeBytes(kStandardError, "\n", 1);
  return static_cast<long>(length);
}

const char* listFolder(const char* path, void (*each)(std::string_view name, void* context), void* context) {
  DIR* const folder = opendir(path);
  if (folder == nullptr) return std::strerror(errno);
  for (const dirent* entry; (entry = readdir(folder)) != nullptr;) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") each(name, context);
  }
  closedir(folder);
  return nullptr;
}

bool makeFolder(const char* path) { return mkdir(path, 0777) == 0 || errno == EEXIST; }
