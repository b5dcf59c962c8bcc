// Windows side of platform.h.
#include "platform/platform.h"

#include <charconv>

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

DWORD writeAll(HANDLE file, std::string_view contents) {
  while (!contents.empty()) {
    DWORD written = 0;
    if (!WriteFile(file, contents.data(), transferSize(contents.size()), &written, nullptr))
      return GetLastError();
    if (written == 0) return ERROR_WRITE_FAULT;
    contents.remove_prefix(written);
  }
  return ERROR_SUCCESS;
}

DWORD seek(HANDLE file, LONGLONG offset) {
  LARGE_INTEGER position;
  position.QuadPart = offset;
  return SetFilePointerEx(file, position, nullptr, FILE_BEGIN) ? ERROR_SUCCESS : GetLastError();
}

// Antivirus programs, the search indexer and sync clients open a freshly
// written file for a moment, which fails a replace or an open with one of
// these two. Such a call is tried again for about two seconds in all.
bool mayBeBriefHold(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED;
}

template <typename Call>
DWORD retryWhileHeld(Call call) {
  for (int tries = 1;; ++tries) {
    const DWORD error = call();
    if (error == ERROR_SUCCESS || !mayBeBriefHold(error) || tries == 20) return error;
    Sleep(100);
  }
}

// Overwrites an open file with `contents`: the part past the old end first,
// so that a full disk is met before anything old is overwritten (and that
// part is taken back), then the rest, then the file cut to the new length
// and flushed. Anything but a disk file (NUL, say) is just written to.
DWORD overwrite(HANDLE file, std::string_view contents) {
  LARGE_INTEGER old_size;
  if (GetFileType(file) != FILE_TYPE_DISK) return writeAll(file, contents);
  if (!GetFileSizeEx(file, &old_size)) return GetLastError();
  const LONGLONG new_size = static_cast<LONGLONG>(contents.size());
  DWORD error = ERROR_SUCCESS;
  if (new_size > old_size.QuadPart) {
    // Split without substr, whose range check would bring the C++ exception
    // machinery into the program.
    const std::size_t kept = static_cast<std::size_t>(old_size.QuadPart);
    error = seek(file, old_size.QuadPart);
    if (error == ERROR_SUCCESS) error = writeAll(file, {contents.data() + kept, contents.size() - kept});
    if (error != ERROR_SUCCESS) {
      if (seek(file, old_size.QuadPart) == ERROR_SUCCESS) SetEndOfFile(file);
      return error;
    }
    contents.remove_suffix(contents.size() - kept);
  }
  error = seek(file, 0);
  if (error == ERROR_SUCCESS) error = writeAll(file, contents);
  if (error == ERROR_SUCCESS && new_size < old_size.QuadPart && !SetEndOfFile(file)) error = GetLastError();
  if (error == ERROR_SUCCESS && !FlushFileBuffers(file)) error = GetLastError();
  return error;
}

// Writes `contents` into the file itself. The file is opened as it is, not
// created anew, so it keeps its attributes (a hidden or system file cannot be
// created over); `create` makes one that has vanished.
DWORD writeInPlace(const char* path, std::string_view contents, bool create) {
  HANDLE file = INVALID_HANDLE_VALUE;
  DWORD error = retryWhileHeld([&] {
    file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, create ? OPEN_ALWAYS : OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    return file == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
  });
  if (error != ERROR_SUCCESS) return error;
  error = overwrite(file, contents);
  if (!CloseHandle(file) && error == ERROR_SUCCESS) error = GetLastError();
  return error;
}

// The temporary file beside `path`: its name and a dot, then eight hex digits.
constexpr std::size_t kSuffixSize = 9;

// A link (a reparse point), a file with several names, anything that is not
// a file on a disk, and a file whose temporary neighbour's full name would be
// longer than MAX_PATH are written in place, so that every name of it sees the
// new contents and the save does not fail for want of a name.
bool mustWriteInPlace(const char* path, DWORD attributes) {
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return true;
  char full[MAX_PATH];
  const DWORD length = GetFullPathNameA(path, sizeof full, full, nullptr);
  if (length == 0 || length + kSuffixSize >= sizeof full) return true;
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
// left by a power cut is recognisable ("apps.ini.0a1b2c3d") and made with the
// old file's attributes, flushes it to the disk and moves it over the old
// file in one step. MoveFileEx is used rather than ReplaceFile, some of whose
// failures leave the old file gone or renamed: any failure here leaves the
// old file as it was, and the new one is removed. `moved` says whether it got
// that far.
DWORD writeReplacement(const char* path, DWORD attributes, std::string_view contents, bool& moved) {
  static unsigned long serial = 0;
  const std::string_view name = path;
  char temporary[MAX_PATH];
  if (name.size() + kSuffixSize >= sizeof temporary) return ERROR_FILENAME_EXCED_RANGE;
  char* const suffix = temporary + name.copy(temporary, name.size());
  const DWORD carried = attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                      FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
  HANDLE file = INVALID_HANDLE_VALUE;
  DWORD error = ERROR_FILE_EXISTS;
  for (int attempt = 0; attempt < 100 && error == ERROR_FILE_EXISTS; ++attempt) {
    const unsigned long random = (GetTickCount() ^ (GetCurrentProcessId() << 16)) + serial++;
    suffix[0] = '.';
    for (int digit = 0; digit < 8; ++digit) suffix[1 + digit] = "0123456789abcdef"[(random >> (28 - 4 * digit)) & 15];
    suffix[kSuffixSize] = '\0';
    file = CreateFileA(temporary, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                       carried != 0 ? carried : FILE_ATTRIBUTE_NORMAL, nullptr);
    error = file == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
  }
  if (error != ERROR_SUCCESS) return error;
  error = writeAll(file, contents);
  if (error == ERROR_SUCCESS && !FlushFileBuffers(file)) error = GetLastError();
  if (!CloseHandle(file) && error == ERROR_SUCCESS) error = GetLastError();
  if (error == ERROR_SUCCESS) {
    error = retryWhileHeld([&] {
      return MoveFileExA(temporary, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? ERROR_SUCCESS
                                                                                            : GetLastError();
    });
  }
  if (error == ERROR_SUCCESS) {
    moved = true;
    return error;
  }
  retryWhileHeld([&] { return DeleteFileA(temporary) ? ERROR_SUCCESS : GetLastError(); });
  return error;
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

int replaceFileContents(const char* path, std::string_view contents) {
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    return static_cast<int>(error == ERROR_FILE_NOT_FOUND ? writeInPlace(path, contents, true) : error);
  }
  if (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) return ERROR_ACCESS_DENIED;
  if (mustWriteInPlace(path, attributes)) return static_cast<int>(writeInPlace(path, contents, false));
  bool moved = false;
  const DWORD error = writeReplacement(path, attributes, contents, moved);
  if (error == ERROR_SUCCESS || moved) return static_cast<int>(error);
  // A folder that takes no new file, or a file held for longer than a moment:
  // writing in place may still succeed, and leaves the file whole if not.
  if (error == ERROR_SHARING_VIOLATION) return static_cast<int>(error);
  return static_cast<int>(writeInPlace(path, contents, false));
}

std::string_view describeSystemError(int error, char (&buffer)[256]) {
  DWORD size = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                              static_cast<DWORD>(error), 0, buffer, sizeof buffer, nullptr);
  while (size > 0 && (buffer[size - 1] == '\r' || buffer[size - 1] == '\n' || buffer[size - 1] == ' ' ||
                      buffer[size - 1] == '.'))
    --size;
  if (size == 0) {
    const std::string_view words = "system error ";
    char* const digits = buffer + words.copy(buffer, words.size());
    size = static_cast<DWORD>(std::to_chars(digits, buffer + sizeof buffer, error).ptr - buffer);
  }
  return {buffer, size};
}
