// Windows side of file_writer.h.
#include "platform/file_writer.h"

#include <charconv>
#include <cstdlib>
#include <cstring>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace {

// Antivirus programs, the search indexer, sync clients and viewers open a
// freshly written file for a moment, or lock a range of it, which fails a
// move, an open or a write with one of these. Such a call is tried again for
// about two seconds in all.
bool mayBeBriefHold(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED || error == ERROR_LOCK_VIOLATION;
}

template <typename Call>
DWORD retryWhileHeld(Call call) {
  for (int tries = 1;; ++tries) {
    const DWORD error = call();
    if (error == ERROR_SUCCESS || !mayBeBriefHold(error) || tries == 20) return error;
    Sleep(100);
  }
}

DWORD seek(HANDLE file, LONGLONG offset) {
  LARGE_INTEGER position;
  position.QuadPart = offset;
  return SetFilePointerEx(file, position, nullptr, FILE_BEGIN) ? ERROR_SUCCESS : GetLastError();
}

// Writes all of `contents` at `offset`, in one call unless the system takes
// less; a byte-range lock held for a moment is waited for.
DWORD writeAt(HANDLE file, const char* contents, DWORD size, LONGLONG offset) {
  while (size > 0) {
    DWORD written = 0;
    const DWORD error = retryWhileHeld([&] {
      const DWORD moved = seek(file, offset);
      if (moved != ERROR_SUCCESS) return moved;
      return WriteFile(file, contents, size, &written, nullptr) ? ERROR_SUCCESS : GetLastError();
    });
    if (error != ERROR_SUCCESS) return error;
    if (written == 0) return ERROR_WRITE_FAULT;
    contents += written;
    size -= written;
    offset += written;
  }
  return ERROR_SUCCESS;
}

// `size` bytes of blank lines, which a menu reader skips: a lone LF where
// the count is odd, then CR LF pairs.
void fillBlanks(char* bytes, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) bytes[i] = (size - i) % 2 == 0 ? '\r' : '\n';
}

// Overwrites an open file with `contents`, never leaving it half-way: it
// first grows to the new length by blank lines (taken back if that fails),
// then the new contents, padded with blank lines to the old length, are
// written in one call, and only then is it cut and flushed. A kill, or a cut
// refused because another program maps the file, leaves the old menu or the
// new one, followed at most by blank lines. Anything but a disk file (NUL,
// say) is just written to.
DWORD overwrite(HANDLE file, const char* contents, DWORD size) {
  if (GetFileType(file) != FILE_TYPE_DISK) return writeAt(file, contents, size, 0);
  LARGE_INTEGER old_size;
  if (!GetFileSizeEx(file, &old_size)) return GetLastError();
  const LONGLONG old_length = old_size.QuadPart;
  if (old_length > MAXDWORD) return ERROR_FILE_TOO_LARGE;
  const DWORD longer = static_cast<DWORD>(old_length > size ? old_length : size);
  char* const padded = static_cast<char*>(std::malloc(longer > 0 ? longer : 1));
  if (padded == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  DWORD error = ERROR_SUCCESS;
  if (size > old_length) {
    fillBlanks(padded, size - static_cast<DWORD>(old_length));
    error = writeAt(file, padded, size - static_cast<DWORD>(old_length), old_length);
    if (error != ERROR_SUCCESS && seek(file, old_length) == ERROR_SUCCESS) SetEndOfFile(file);
  }
  if (error == ERROR_SUCCESS) {
    for (DWORD i = 0; i < size; ++i) padded[i] = contents[i];
    fillBlanks(padded + size, longer - size);
    error = writeAt(file, padded, longer, 0);
  }
  std::free(padded);
  if (error == ERROR_SUCCESS && longer > size) {
    error = seek(file, size);
    if (error == ERROR_SUCCESS && !SetEndOfFile(file)) error = GetLastError();
  }
  if (error == ERROR_SUCCESS && !FlushFileBuffers(file)) error = GetLastError();
  return error;
}

// Writes `contents` into the file itself. The file is opened as it is, not
// created anew, so it keeps its attributes, security and streams (a hidden
// or system file cannot be created over); `create` makes one that has
// vanished.
DWORD writeInPlace(const char* path, std::string_view contents, bool create) {
  HANDLE file = INVALID_HANDLE_VALUE;
  DWORD error = retryWhileHeld([&] {
    file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, create ? OPEN_ALWAYS : OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    return file == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
  });
  if (error != ERROR_SUCCESS) return error;
  error = overwrite(file, contents.data(), static_cast<DWORD>(contents.size()));
  if (!CloseHandle(file) && error == ERROR_SUCCESS) error = GetLastError();
  return error;
}

// True when the file has a named stream beside its contents (a download's
// Zone.Identifier, say), which a copy would not have. Windows before Vista
// cannot list streams; there none is assumed.
bool hasNamedStreams(const char* path) {
  using FindFirst = HANDLE(WINAPI*)(const wchar_t*, int, void*, DWORD);
  using FindNext = BOOL(WINAPI*)(HANDLE, void*);
  const HMODULE kernel = GetModuleHandleA("kernel32.dll");
  const auto find_first = reinterpret_cast<FindFirst>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "FindFirstStreamW")));
  const auto find_next = reinterpret_cast<FindNext>(reinterpret_cast<void*>(GetProcAddress(kernel, "FindNextStreamW")));
  wchar_t wide[MAX_PATH];
  if (find_first == nullptr || find_next == nullptr ||
      MultiByteToWideChar(CP_ACP, 0, path, -1, wide, MAX_PATH) == 0)
    return false;
  struct {
    LARGE_INTEGER size;
    wchar_t name[MAX_PATH + 36];
  } stream;
  const HANDLE streams = find_first(wide, 0, &stream, 0);
  if (streams == INVALID_HANDLE_VALUE) return false;
  const bool more = find_next(streams, &stream) != 0;
  FindClose(streams);
  return more;
}

// The temporary file beside `path`: its name and a dot, then eight hex digits.
constexpr std::size_t kSuffixSize = 9;

// A link (a reparse point), a file with several names, an encrypted or
// compressed file, one with named streams, anything that is not a file on a
// disk, and a file whose temporary neighbour's full name would be longer
// than MAX_PATH are written in place, so that every name of it sees the new
// contents, nothing of it is lost, and the save does not fail for want of a
// name.
bool mustWriteInPlace(const char* path, DWORD attributes) {
  if (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_ENCRYPTED | FILE_ATTRIBUTE_COMPRESSED)) return true;
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
  return !ordinary || hasNamedStreams(path);
}

constexpr SECURITY_INFORMATION kSecurity =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

// The owner, group and DACL of the file at `path`, in a buffer to be freed,
// or null with the reason in `error`; ERROR_NOT_SUPPORTED on a volume
// without security (FAT).
void* securityOf(const char* path, DWORD& size, DWORD& error) {
  size = 0;
  if (GetFileSecurityA(path, kSecurity, nullptr, 0, &size) || GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    error = GetLastError();
    return nullptr;
  }
  void* const security = std::malloc(size);
  error = security == nullptr ? ERROR_NOT_ENOUGH_MEMORY : ERROR_SUCCESS;
  if (security != nullptr && !GetFileSecurityA(path, kSecurity, security, size, &size)) {
    error = GetLastError();
    std::free(security);
    return nullptr;
  }
  return security;
}

// Gives the copy `temporary` the security of the file at `path`: its DACL,
// and its owner and group where this user may set them. A copy made in the
// same folder inherits what a file there usually has, so only a file whose
// security differs from that (a protected DACL, an entry of its own, another
// owner) needs it set. Returns why it could not be; a volume without
// security has none to give.
DWORD carrySecurity(const char* path, const char* temporary) {
  DWORD old_size = 0, copy_size = 0, error = ERROR_SUCCESS;
  void* const old = securityOf(path, old_size, error);
  if (old == nullptr) return error == ERROR_NOT_SUPPORTED ? ERROR_SUCCESS : error;
  void* const copy = securityOf(temporary, copy_size, error);
  const bool same = copy != nullptr && copy_size == old_size && std::memcmp(old, copy, old_size) == 0;
  if (same || SetFileSecurityA(temporary, kSecurity, old) ||
      SetFileSecurityA(temporary, DACL_SECURITY_INFORMATION, old)) {
    error = ERROR_SUCCESS;
  } else {
    error = GetLastError();
  }
  std::free(copy);
  std::free(old);
  return error;
}

// Writes `contents` to a new file beside `path`, named after it so that one
// left by a power cut is recognisable ("apps.ini.0a1b2c3d"), made with the
// old file's attributes and given its security, flushes it to the disk and
// moves it over the old file in one step. MoveFileEx is used rather than
// ReplaceFile, some of whose failures leave the old file gone or renamed:
// any failure here leaves the old file as it was, and the copy is removed,
// or named in `result` if it cannot be. `moved` says whether it got that far.
DWORD writeReplacement(const char* path, DWORD attributes, std::string_view contents, FileWrite& result,
                       bool& moved) {
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
  error = writeAt(file, contents.data(), static_cast<DWORD>(contents.size()), 0);
  if (error == ERROR_SUCCESS && !FlushFileBuffers(file)) error = GetLastError();
  if (!CloseHandle(file) && error == ERROR_SUCCESS) error = GetLastError();
  if (error == ERROR_SUCCESS) error = carrySecurity(path, temporary);
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
  if (retryWhileHeld([&] { return DeleteFileA(temporary) ? ERROR_SUCCESS : GetLastError(); }) != ERROR_SUCCESS) {
    // Named as it stands beside the file: the part after the last backslash.
    const char* base = temporary;
    for (const char* at = temporary; *at != '\0'; ++at)
      if (*at == '\\' || *at == '/') base = at + 1;
    std::size_t size = 0;
    for (; base[size] != '\0' && size + 1 < sizeof result.copy_left; ++size) result.copy_left[size] = base[size];
    result.copy_left[size] = '\0';
  }
  return error;
}

}  // namespace

FileWrite replaceFileContents(const char* path, std::string_view contents) {
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    return {static_cast<int>(error == ERROR_FILE_NOT_FOUND ? writeInPlace(path, contents, true) : error)};
  }
  if (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) return {ERROR_ACCESS_DENIED};
  if (mustWriteInPlace(path, attributes)) return {static_cast<int>(writeInPlace(path, contents, false))};
  FileWrite result;
  bool moved = false;
  const DWORD error = writeReplacement(path, attributes, contents, result, moved);
  // A folder that takes no new file, a copy that could not be given the
  // file's security, or a file held for longer than a moment: writing in
  // place may still succeed, and leaves the file whole if not. A copy that
  // could not be removed is reported instead.
  if (error != ERROR_SUCCESS && !moved && error != ERROR_SHARING_VIOLATION && result.copy_left[0] == '\0') {
    result.error = static_cast<int>(writeInPlace(path, contents, false));
    return result;
  }
  result.error = static_cast<int>(error);
  return result;
}

// The system's words come in the ANSI code page; a console shows its own
// (OEM) code page, where "Accès refusé" would print as garbage.
std::string_view describeSystemError(int error, char (&buffer)[256]) {
  DWORD size = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                              static_cast<DWORD>(error), 0, buffer, sizeof buffer, nullptr);
  while (size > 0 && (buffer[size - 1] == '\r' || buffer[size - 1] == '\n' || buffer[size - 1] == ' ' ||
                      buffer[size - 1] == '.'))
    --size;
  DWORD mode = 0;
  const UINT console = GetConsoleOutputCP();
  if (size > 0 && console != 0 && console != GetACP() && GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode)) {
    wchar_t wide[256];
    const int count = MultiByteToWideChar(CP_ACP, 0, buffer, static_cast<int>(size), wide, 256);
    const int converted =
        count > 0 ? WideCharToMultiByte(console, 0, wide, count, buffer, sizeof buffer, nullptr, nullptr) : 0;
    if (converted > 0) size = static_cast<DWORD>(converted);
  }
  if (size == 0) {
    const std::string_view words = "system error ";
    char* const digits = buffer + words.copy(buffer, words.size());
    size = static_cast<DWORD>(std::to_chars(digits, buffer + sizeof buffer, error).ptr - buffer);
  }
  return {buffer, size};
}
