// Windows side of platform.h.
#include "platform/platform.h"

#include <errno.h>
#include <algorithm>
#include <cstdio>
#include <cstring>
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

std::size_t systemTextForConsole(char* text, std::size_t size, std::size_t capacity) {
  DWORD mode = 0;
  const UINT console = GetConsoleOutputCP();
  if (size == 0 || console == 0 || console == GetACP() || !GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode))
    return size;
  wchar_t wide[512];
  const int count = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(size), wide, 512);
  const int converted =
      count > 0 ? WideCharToMultiByte(console, 0, wide, count, text, static_cast<int>(capacity), nullptr, nullptr) : 0;
  return converted > 0 ? static_cast<std::size_t>(converted) : size;
}

bool isConsole(int fd) {
  DWORD mode = 0;
  return GetConsoleMode(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), &mode) != 0;
}

std::string_view currentFolder(char (&buffer)[1024]) {
  const DWORD size = GetCurrentDirectoryA(sizeof buffer, buffer);
  return size > 0 && size < sizeof buffer ? std::string_view(buffer, size) : std::string_view();
}

namespace {

// A console's typed text as characters, each then made the bytes of the
// console's input code page, as the console's own byte read makes them;
// but where that page has no such character, its '?' is listed as unheld,
// so that it is never taken for what was typed.
std::size_t readConsoleText(HANDLE console, char* buffer, std::size_t size, UnheldCharacters& unheld) {
  // A UTF-16 unit gives at most three bytes in any code page.
  wchar_t wide[kMaxTransfer / sizeof(wchar_t) / 2];
  const DWORD room = static_cast<DWORD>(std::min<std::size_t>(size / 3, sizeof wide / sizeof wide[0]));
  DWORD typed = 0;
  if (room == 0 || !ReadConsoleW(console, wide, room, &typed, nullptr) || typed == 0) return 0;
  // Ctrl-Z at the start of a line is the end of input, as the byte read has it.
  if (wide[0] == 0x1A) return 0;
  const UINT page = GetConsoleCP();
  // These pages take no question whether a character was held.
  const bool always_held = page == CP_UTF8 || page == CP_UTF7;
  std::size_t made = 0;
  for (DWORD i = 0; i < typed;) {
    const int units = IS_HIGH_SURROGATE(wide[i]) && i + 1 < typed && IS_LOW_SURROGATE(wide[i + 1]) ? 2 : 1;
    BOOL lost = FALSE;
    const int room_left = static_cast<int>(size - made);
    int bytes = WideCharToMultiByte(page, always_held ? 0 : WC_NO_BEST_FIT_CHARS, wide + i, units, buffer + made,
                                    room_left, nullptr, always_held ? nullptr : &lost);
    // A page that takes no flags.
    if (bytes <= 0 && !always_held)
      bytes = WideCharToMultiByte(page, 0, wide + i, units, buffer + made, room_left, nullptr, &lost);
    if (bytes <= 0) {
      buffer[made] = '?';
      bytes = 1;
      lost = TRUE;
    }
    if (lost && unheld.count < UnheldCharacters::kMax) {
      unheld.at[unheld.count] = made;
      unheld.character[unheld.count++] =
          units == 2 ? 0x10000 + ((wide[i] - 0xD800) << 10) + (wide[i + 1] - 0xDC00) : wide[i];
    }
    made += static_cast<std::size_t>(bytes);
    i += static_cast<DWORD>(units);
  }
  return made;
}

}  // namespace

std::size_t readBytes(int fd, char* buffer, std::size_t size, UnheldCharacters* unheld) {
  DWORD mode = 0;
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (unheld != nullptr) {
    unheld->count = 0;
    if (GetConsoleMode(handle, &mode)) return readConsoleText(handle, buffer, size, *unheld);
  }
  const int n = _read(fd, buffer, transferSize(size));
  return n > 0 ? static_cast<std::size_t>(n) : 0;
}

OutputFailure writeBytes(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const int n = _write(fd, data, transferSize(size));
    if (n <= 0) {
      // The C runtime says "Invalid argument" where the reader of a pipe has
      // gone; the system's own error tells (ERROR_NO_DATA, under Wine
      // ERROR_PIPE_NOT_CONNECTED).
      const DWORD error = GetLastError();
      return {true, error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED,
              n < 0 ? std::strerror(errno) : "nothing written"};
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return {};
}

long readFileBytes(int fd, char* buffer, std::size_t size) {
  return _read(fd, buffer, transferSize(size));
}

void closeFile(int fd) { _close(fd); }

bool fileIdentity(int fd, FileIdentity& identity) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), &info)) return false;
  identity = {info.dwVolumeSerialNumber,
              (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
  return true;
}

PathKind pathKind(const char* path) {
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES)
    return GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND ? PathKind::kNothing
                                                                                             : PathKind::kOther;
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathKind::kFolder : PathKind::kOther;
}

long readHiddenLine(char* buffer, std::size_t size) {
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD shown = 0;
  if (size == 0 || !GetConsoleMode(input, &shown)) return -1;
  SetConsoleMode(input, shown & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
  DWORD read = 0;
  const BOOL got = ReadConsoleA(input, buffer, static_cast<DWORD>(size - 1), &read, nullptr);
  SetConsoleMode(input, shown);
  std::size_t length = got ? read : 0;
  while (length > 0 && (buffer[length - 1] == '\n' || buffer[length - 1] == '\r')) --length;
  buffer[length] = '\0';
  writeBytes(kStandardError, "\r\n", 2);
  return static_cast<long>(length);
}

const char* listFolder(const char* path, void (*each)(std::string_view name, void* context), void* context) {
  char pattern[MAX_PATH + 4];
  std::snprintf(pattern, sizeof pattern, "%s\\*", path);
  WIN32_FIND_DATAA found;
  const HANDLE find = FindFirstFileA(pattern, &found);
  if (find == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_PATH_NOT_FOUND ? "no such folder" : "it cannot be listed";
  do {
    const std::string_view name = found.cFileName;
    if (name != "." && name != "..") each(name, context);
  } while (FindNextFileA(find, &found));
  FindClose(find);
  return nullptr;
}

bool makeFolder(const char* path) { return CreateDirectoryA(path, nullptr) || GetLastError() == ERROR_ALREADY_EXISTS; }
