// Windows side of platform.h.
#include "platform/platform.h"


#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace {

// Before Windows 8 the console serves reads and writes from a 64 KB shared
// heap, and one through a buffer of 64 KiB or more can fail outright. Every
// single read and write stays within this size, whatever the descriptor is:
// it costs nothing measurable on a pipe or a file.
constexpr std::size_t kMaxTransfer = 16 * 1024;

unsigned transferSize(std::size_t size) {
  return static_cast<unsigned>(size < kMaxTransfer ? size : kMaxTransfer);
}

bool writeAll(HANDLE file, std::string_view contents) {
  while (!contents.empty()) {
    DWORD written = 0;
    if (!WriteFile(file, contents.data(), transferSize(contents.size()), &written, nullptr) ||
        written == 0)
      return false;
    contents.remove_prefix(written);
  }
  return true;
}

// Creates or truncates the file and writes `contents` in it.
bool writeInPlace(const char* path, std::string_view contents) {
  const HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool written = writeAll(file, contents);
  const bool closed = CloseHandle(file) != 0;
  return written && closed;
}

// A link (a reparse point), a file with several names and anything that is
// not a file on a disk are written in place, so that every name of it sees
// the new contents.
bool mustWriteInPlace(const char* path, DWORD attributes) {
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return true;
  const HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return true;
  BY_HANDLE_FILE_INFORMATION info;
  const bool ordinary = GetFileType(file) == FILE_TYPE_DISK &&
                        GetFileInformationByHandle(file, &info) && info.nNumberOfLinks == 1;
  CloseHandle(file);
  return !ordinary;
}

// Writes `contents` to a new file beside `path`, named after it so that one
// left by a power cut is recognisable ("apps.ini.0a1b2c3d"), flushes it to the
// disk and puts it in the old file's place with ReplaceFile, which keeps the
// old file's attributes and security. On any failure the new file is removed
// and the old one is as it was. `folder_refused` tells whether the folder
// takes no new file at all.
bool writeReplacement(const char* path, std::string_view contents, bool& folder_refused) {
  static unsigned long serial = 0;
  const std::string_view name = path;
  char temporary[MAX_PATH];
  if (name.size() + 10 > sizeof temporary) return false;
  char* const suffix = temporary + name.copy(temporary, name.size());
  HANDLE file = INVALID_HANDLE_VALUE;
  DWORD error = ERROR_FILE_EXISTS;
  for (int attempt = 0; attempt < 100 && error == ERROR_FILE_EXISTS; ++attempt) {
    const unsigned long random = (GetTickCount() ^ (GetCurrentProcessId() << 16)) + serial++;
    suffix[0] = '.';
    for (int digit = 0; digit < 8; ++digit) suffix[1 + digit] = "0123456789abcdef"[(random >> (28 - 4 * digit)) & 15];
    suffix[9] = '\0';
    file = CreateFileA(temporary, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    error = file == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
  }
  if (file == INVALID_HANDLE_VALUE) {
    folder_refused = error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT;
    return false;
  }
  bool replaced = writeAll(file, contents) && FlushFileBuffers(file);
  replaced = CloseHandle(file) && replaced;
  replaced = replaced && ReplaceFileA(path, temporary, nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                                      nullptr, nullptr);
  if (!replaced) DeleteFileA(temporary);
  return replaced;
}

}  // namespace

void prepareConsoleStreams() {
  // Byte mode: CR is then ordinary whitespace on input, 0x1A is not taken for
  // the end of input, and line ends on output are written as given.
  _setmode(kStandardInput, _O_BINARY);
  _setmode(kStandardOutput, _O_BINARY);
  _setmode(kStandardError, _O_BINARY);
}

bool consoleClosesWithProgram() {
  DWORD mode = 0;
  if (!GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) ||
      !GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode))
    return false;
  DWORD processes[2];
  return GetConsoleProcessList(processes, 2) == 1;
}

std::size_t readBytes(int fd, char* buffer, std::size_t size) {
  const int n = _read(fd, buffer, transferSize(size));
  return n > 0 ? static_cast<std::size_t>(n) : 0;
}

bool writeBytes(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const int n = _write(fd, data, transferSize(size));
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

int openReadableFile(const char* path) {
  const int fd = _open(path, _O_RDONLY | _O_BINARY);
  if (fd < 0) return -1;
  struct _stat file;
  const int type = _fstat(fd, &file) == 0 ? file.st_mode & _S_IFMT : 0;
  if (type == _S_IFREG || type == _S_IFCHR) return fd;
  _close(fd);
  return -1;
}

long readFileBytes(int fd, char* buffer, std::size_t size) {
  return _read(fd, buffer, transferSize(size));
}

void closeFile(int fd) { _close(fd); }

bool replaceFileContents(const char* path, std::string_view contents) {
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES)
    return GetLastError() == ERROR_FILE_NOT_FOUND && writeInPlace(path, contents);
  if (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) return false;
  if (mustWriteInPlace(path, attributes)) return writeInPlace(path, contents);
  bool folder_refused = false;
  if (writeReplacement(path, contents, folder_refused)) return true;
  return folder_refused && writeInPlace(path, contents);
}
