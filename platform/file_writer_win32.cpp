// Windows side of file_writer.h.
#include "platform/file_writer.h"

#include <cerrno>
#include <charconv>
#include <initializer_list>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "platform/platform.h"

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

// A handle closed when it goes out of scope, unless it was closed on purpose
// first (whose result then counts), as the POSIX side's Descriptor.
struct Handle {
  HANDLE handle = INVALID_HANDLE_VALUE;
  Handle() = default;
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { release(); }
  // Closes it now; false, with GetLastError's reason, if the close failed.
  bool release() {
    const HANDLE open = handle;
    handle = INVALID_HANDLE_VALUE;
    return open == INVALID_HANDLE_VALUE || CloseHandle(open);
  }
};

// ---- Finding the file --------------------------------------------------------

// Windows has no owners to judge a path by (see file_writer.h): a file is
// reached by its name.

// ---- Judging the file --------------------------------------------------------

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
  Handle file;
  file.handle = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                            0, nullptr);
  if (file.handle == INVALID_HANDLE_VALUE) return true;
  BY_HANDLE_FILE_INFORMATION info;
  const bool ordinary = GetFileType(file.handle) == FILE_TYPE_DISK &&
                        GetFileInformationByHandle(file.handle, &info) && info.nNumberOfLinks == 1;
  return !ordinary || hasNamedStreams(path);
}

// Judges the file at `path`, whose attributes are `attributes`: one marked
// read-only, or a folder, is refused, and it is opened for writing first, so
// that a file this user may not write (a DACL that denies it) is refused
// with the system's reason, as on POSIX.
DWORD judgeFile(const char* path, DWORD attributes) {
  if (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) return ERROR_ACCESS_DENIED;
  return retryWhileHeld([&] {
    Handle opened;
    opened.handle = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    return opened.handle == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
  });
}

// ---- Writing in place --------------------------------------------------------

// Whether the open file is on a disk (rather than NUL, a pipe or a
// console); FILE_TYPE_UNKNOWN with an error is a failure, not a kind.
// Returns why it could not tell.
DWORD onDisk(HANDLE file, bool& disk) {
  const DWORD type = GetFileType(file);
  disk = type == FILE_TYPE_DISK;
  return type == FILE_TYPE_UNKNOWN ? GetLastError() : ERROR_SUCCESS;
}

DWORD seek(HANDLE file, LONGLONG offset) {
  LARGE_INTEGER position;
  position.QuadPart = offset;
  return SetFilePointerEx(file, position, nullptr, FILE_BEGIN) ? ERROR_SUCCESS : GetLastError();
}

// Writes all of `contents` at `offset`, in one call unless the system takes
// less; a byte-range lock held for a moment is waited for. `done`, if given,
// counts the bytes that went in, also when a later call fails.
DWORD writeAt(HANDLE file, const char* contents, DWORD size, LONGLONG offset, DWORD* done = nullptr) {
  while (size > 0) {
    DWORD written = 0;
    const DWORD error = retryWhileHeld([&] {
      const DWORD moved = seek(file, offset);
      if (moved != ERROR_SUCCESS) return moved;
      return WriteFile(file, contents, size, &written, nullptr) ? ERROR_SUCCESS : GetLastError();
    });
    if (error != ERROR_SUCCESS) return error;
    if (written == 0) return ERROR_WRITE_FAULT;
    if (done != nullptr) *done += written;
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
// new one, followed at most by blank lines. A write cut short that then
// fails (an NTFS-compressed file on a full disk) puts the old bytes back;
// `mixed` says when even that failed. Anything but a disk file (NUL, say)
// is just written to.
DWORD overwrite(HANDLE file, const char* contents, DWORD size, bool& mixed) {
  bool disk = false;
  if (const DWORD error = onDisk(file, disk); error != ERROR_SUCCESS) return error;
  if (!disk) return writeAt(file, contents, size, 0);
  LARGE_INTEGER old_size;
  if (!GetFileSizeEx(file, &old_size)) return GetLastError();
  const LONGLONG old_length = old_size.QuadPart;
  if (old_length > MAXDWORD) return ERROR_FILE_TOO_LARGE;
  const DWORD longer = static_cast<DWORD>(old_length > size ? old_length : size);
  // The new menu padded to the longer length, then the old bytes, kept to be
  // put back should the write be cut short.
  char* const padded = static_cast<char*>(std::malloc(longer + static_cast<DWORD>(old_length) + 1));
  if (padded == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  char* const old = padded + longer;
  DWORD error = seek(file, 0);
  for (DWORD got = 0, n = 1; error == ERROR_SUCCESS && got < old_length && n > 0; got += n)
    if (!ReadFile(file, old + got, static_cast<DWORD>(old_length) - got, &n, nullptr)) error = GetLastError();
  if (size > old_length) {
    fillBlanks(padded, size - static_cast<DWORD>(old_length));
    error = writeAt(file, padded, size - static_cast<DWORD>(old_length), old_length);
    if (error != ERROR_SUCCESS && seek(file, old_length) == ERROR_SUCCESS) SetEndOfFile(file);
  }
  if (error == ERROR_SUCCESS) {
    for (DWORD i = 0; i < size; ++i) padded[i] = contents[i];
    fillBlanks(padded + size, longer - size);
    DWORD done = 0;
    error = writeAt(file, padded, longer, 0, &done);
    if (error != ERROR_SUCCESS && done > 0)
      mixed = writeAt(file, old, static_cast<DWORD>(old_length), 0) != ERROR_SUCCESS;
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
// or system file cannot be created over).
DWORD writeInPlace(const char* path, std::string_view contents, bool& mixed) {
  Handle file;
  DWORD error = retryWhileHeld([&] {
    file.handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    return file.handle == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
  });
  if (error != ERROR_SUCCESS) return error;
  error = overwrite(file.handle, contents.data(), static_cast<DWORD>(contents.size()), mixed);
  if (!file.release() && error == ERROR_SUCCESS) error = GetLastError();
  return error;
}

// ---- Carrying over -----------------------------------------------------------

constexpr SECURITY_INFORMATION kOwnerAndGroup = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION;

// Some of a file's security, in a buffer of its own, freed with it; none on
// a volume without security (FAT).
struct Security {
  void* bytes = nullptr;
  DWORD size = 0;
  Security() = default;
  Security(const Security&) = delete;
  Security& operator=(const Security&) = delete;
  ~Security() { std::free(bytes); }
};

// Reads the security of the `kinds` asked for of the file at `path`.
// Returns why it could not; a volume without security has none to read.
DWORD readSecurity(const char* path, SECURITY_INFORMATION kinds, Security& security) {
  DWORD size = 0;
  if (GetFileSecurityA(path, kinds, nullptr, 0, &size) || GetLastError() != ERROR_INSUFFICIENT_BUFFER)
    return GetLastError() == ERROR_NOT_SUPPORTED ? ERROR_SUCCESS : GetLastError();
  security.bytes = std::malloc(size);
  if (security.bytes == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  security.size = size;
  if (GetFileSecurityA(path, kinds, security.bytes, size, &size)) return ERROR_SUCCESS;
  const DWORD error = GetLastError();
  std::free(security.bytes);
  security.bytes = nullptr;
  return error;
}

// Gives the file at `path` the security of the `kinds` that `wanted` holds,
// where its own differs: a file made in the same folder inherits what a file
// there usually has, and under Wine setting it anyway rewrites the file's
// mode. Returns why it could not.
DWORD giveSecurity(const char* path, SECURITY_INFORMATION kinds, const Security& wanted) {
  if (wanted.bytes == nullptr) return ERROR_SUCCESS;
  Security now;
  if (readSecurity(path, kinds, now) == ERROR_SUCCESS && now.size == wanted.size &&
      std::memcmp(now.bytes, wanted.bytes, now.size) == 0)
    return ERROR_SUCCESS;
  return SetFileSecurityA(path, kinds, wanted.bytes) ? ERROR_SUCCESS : GetLastError();
}

// ---- What takes a file's place -----------------------------------------------

// How a file's new contents take its place.
enum class Way {
  kCopy,     // a copy is moved over it
  kInPlace,  // it is written in place
  kCreate,   // it has vanished: a new file takes its name
};

// A file made ready to change: judged, and its new contents (for a copy) and
// its backup written and flushed beside it under temporary names. Each takes
// the old file's owner and group, where this user may give them, before it
// is moved, and its DACL only once moved: a DACL that lets this user write
// but not delete would leave a copy that could be neither moved nor removed.
struct Ready {
  const char* path = nullptr;
  Way way = Way::kCreate;
  Security owner;  // the old file's owner and group
  Security dacl;   // the old file's DACL
  char copy[MAX_PATH] = "";    // the temporary name of the new contents, if any
  char backup[MAX_PATH] = "";  // the temporary name of the old contents, if any
  bool mixed = false;          // written in place, cut short, and the old bytes not put back
};

// ---- Making the copy ---------------------------------------------------------

// Creates a new file named after `stem`, so that one left by a power cut
// says what it holds ("apps.ini.0a1b2c3d", the new menu;
// "apps.ini.bak.0a1b2c3d", the old), with the `carried` attributes. Returns
// why it could not; its name is then empty.
DWORD createTemporary(std::initializer_list<std::string_view> stem, DWORD carried, char (&name)[MAX_PATH],
                      Handle& file) {
  static unsigned long serial = 0;
  std::size_t size = 0;
  for (const std::string_view piece : stem) size += piece.size();
  if (size + kSuffixSize >= sizeof name) return ERROR_FILENAME_EXCED_RANGE;
  char* suffix = name;
  for (const std::string_view piece : stem) suffix += piece.copy(suffix, piece.size());
  DWORD error = ERROR_FILE_EXISTS;
  for (int attempt = 0; attempt < 100 && error == ERROR_FILE_EXISTS; ++attempt) {
    const unsigned long random = (GetTickCount() ^ (GetCurrentProcessId() << 16)) + serial++;
    suffix[0] = '.';
    for (int digit = 0; digit < 8; ++digit) suffix[1 + digit] = "0123456789abcdef"[(random >> (28 - 4 * digit)) & 15];
    suffix[kSuffixSize] = '\0';
    file.handle = CreateFileA(name, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              carried != 0 ? carried : FILE_ATTRIBUTE_NORMAL, nullptr);
    error = file.handle == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
  }
  if (error != ERROR_SUCCESS) name[0] = '\0';
  return error;
}

// The attributes a copy of a file with `attributes` is made with.
DWORD carriedAttributes(DWORD attributes) {
  return attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                       FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
}

// Flushes and closes a temporary file; then, given `owner`, the owner and
// group of the file it stands for, gives it them where this user may.
DWORD finishTemporary(Handle& file, DWORD error, const Security* owner, const char* name) {
  if (error == ERROR_SUCCESS && !FlushFileBuffers(file.handle)) error = GetLastError();
  if (!file.release() && error == ERROR_SUCCESS) error = GetLastError();
  if (error == ERROR_SUCCESS && owner != nullptr) giveSecurity(name, kOwnerAndGroup, *owner);
  return error;
}

// Writes `contents` to a new file beside `path`, flushed, its name in
// `name`. Given `owner`, the copy takes the attributes, owner and group of
// the file it is to replace; otherwise it is made as any new file is.
DWORD writeCopy(const char* path, std::string_view contents, DWORD attributes, const Security* owner,
                char (&name)[MAX_PATH]) {
  Handle file;
  const DWORD error = createTemporary({path}, carriedAttributes(attributes), name, file);
  if (error != ERROR_SUCCESS) return error;
  return finishTemporary(file, writeAt(file.handle, contents.data(), static_cast<DWORD>(contents.size()), 0), owner,
                         name);
}

// Removes the temporary file `name`, if any. False when it is still there.
bool removeTemporary(char (&name)[MAX_PATH]) {
  if (name[0] == '\0') return true;
  const DWORD error = retryWhileHeld([&] { return DeleteFileA(name) ? ERROR_SUCCESS : GetLastError(); });
  if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND) return false;
  name[0] = '\0';
  return true;
}

// ---- The backup --------------------------------------------------------------

// Reads the open file from its start, block by block, handing each block and
// its offset to `take` until it returns an error. Returns it, or the read's.
template <typename Take>
DWORD readWhole(HANDLE file, char (&block)[16 * 1024], Take take) {
  DWORD error = seek(file, 0);
  for (LONGLONG offset = 0; error == ERROR_SUCCESS;) {
    DWORD got = 0;
    if (!ReadFile(file, block, sizeof block, &got, nullptr)) return GetLastError();
    if (got == 0) break;
    error = take(std::string_view(block, got), offset);
    offset += got;
  }
  return error;
}

// The name the backup of the file at `path` takes: `path` and ".bak". False
// where that is longer than a path may be.
bool backupNameOf(const char* path, char (&name)[MAX_PATH]) {
  const std::string_view file = path;
  if (file.size() + kBackupSuffix.size() >= sizeof name) return false;
  file.copy(name, file.size());
  kBackupSuffix.copy(name + file.size(), kBackupSuffix.size());
  name[file.size() + kBackupSuffix.size()] = '\0';
  return true;
}

// Whether a backup may take its name beside the file at `path`: not over a
// folder, nor over a file marked read-only, which no rename replaces. Judged
// before either file changes, so that such a name stops the save with
// nothing written rather than half-way.
DWORD judgeBackupName(const char* path) {
  char name[MAX_PATH];
  if (!backupNameOf(path, name)) return ERROR_FILENAME_EXCED_RANGE;
  const DWORD attributes = GetFileAttributesA(name);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ERROR_SUCCESS : error;
  }
  return (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0 ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
}

// Where the file holds anything but blank lines and is to change, copies its
// bytes beside it, flushed, with its attributes, owner and group. Returns why the
// file could not be read or (with `backup_failed`) no backup could be made.
DWORD writeBackup(Ready& ready, DWORD attributes, std::string_view contents, bool& backup_failed) {
  Handle opened;
  DWORD error = retryWhileHeld([&] {
    opened.handle = CreateFileA(ready.path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    return opened.handle == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
  });
  const HANDLE old = opened.handle;
  if (error != ERROR_SUCCESS) return error;
  static char block[16 * 1024];
  LARGE_INTEGER size;
  OldBytes judged;
  bool disk = false;
  error = onDisk(old, disk);
  if (error != ERROR_SUCCESS || !disk) {
    // a device has nothing to keep
  } else if (!GetFileSizeEx(old, &size)) {
    error = GetLastError();
  } else {
    judged.differs = static_cast<std::uint64_t>(size.QuadPart) < contents.size();
    error = readWhole(old, block, [&](std::string_view bytes, LONGLONG offset) {
      judgeOldBytes(judged, bytes, static_cast<std::uint64_t>(offset), contents);
      return DWORD{ERROR_SUCCESS};
    });
  }
  if (error == ERROR_SUCCESS && judged.holds_text && judged.differs) {
    backup_failed = true;
    Handle copy;
    error = judgeBackupName(ready.path);
    if (error == ERROR_SUCCESS)
      error = createTemporary({ready.path, kBackupSuffix}, carriedAttributes(attributes), ready.backup, copy);
    if (error == ERROR_SUCCESS) {
      error = readWhole(old, block, [&](std::string_view bytes, LONGLONG offset) {
        return writeAt(copy.handle, bytes.data(), static_cast<DWORD>(bytes.size()), offset);
      });
      error = finishTemporary(copy, error, &ready.owner, ready.backup);
    }
    backup_failed = error != ERROR_SUCCESS;
  }
  return error;
}

// ---- Making ready: the decision ----------------------------------------------

// Judges the file to replace and makes ready what takes its place. Returns
// why it cannot be written; `backup_failed` says when that is its backup.
DWORD makeReady(const FileReplacement& file, Ready& ready, bool& backup_failed) {
  ready.path = file.path;
  const DWORD attributes = GetFileAttributesA(file.path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND) return error;
    return writeCopy(file.path, file.contents, 0, nullptr, ready.copy);
  }
  if (const DWORD error = judgeFile(file.path, attributes); error != ERROR_SUCCESS) return error;
  // Security that cannot be read cannot be carried: the file is written in
  // place, which keeps it.
  const bool security_read = readSecurity(file.path, kOwnerAndGroup, ready.owner) == ERROR_SUCCESS &&
                             readSecurity(file.path, DACL_SECURITY_INFORMATION, ready.dacl) == ERROR_SUCCESS;
  if (file.backup)
    if (const DWORD error = writeBackup(ready, attributes, file.contents, backup_failed); error != ERROR_SUCCESS)
      return error;
  ready.way = Way::kInPlace;
  if (!security_read || mustWriteInPlace(file.path, attributes)) return ERROR_SUCCESS;
  ready.way = Way::kCopy;
  // A folder that takes no new file: writing in place may still succeed,
  // and leaves the file whole if not. A copy that could not be removed is
  // reported instead.
  const DWORD error = writeCopy(file.path, file.contents, attributes, &ready.owner, ready.copy);
  if (error == ERROR_SUCCESS) return error;
  if (!removeTemporary(ready.copy)) return error;
  // Where there was no room for a copy, writing in place would fail part-way
  // (a compressed file needs room to be overwritten): the file stays as it was.
  if (error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL) return error;
  ready.way = Way::kInPlace;
  return ERROR_SUCCESS;
}

// ---- Taking its place --------------------------------------------------------

// Moves the temporary file `from` to `to` in one step, waiting out a brief
// hold. MoveFileEx is used rather than ReplaceFile, some of whose failures
// leave the old file gone or renamed: a failure here leaves both as they were.
DWORD moveTemporary(char (&from)[MAX_PATH], const char* to, DWORD flags) {
  const DWORD error = retryWhileHeld([&] {
    return MoveFileExA(from, to, flags | MOVEFILE_WRITE_THROUGH) ? ERROR_SUCCESS : GetLastError();
  });
  if (error == ERROR_SUCCESS) from[0] = '\0';
  return error;
}

// Puts the backup at its name, then the new contents in the file's place,
// each given the old file's DACL once there. Returns 0 once the file holds
// them (`late` then says whether the DACL could not be given), or the error
// that kept them out (`backup_failed` says when the backup could not take
// its name).
DWORD takePlace(Ready& ready, std::string_view contents, bool& backed_up, bool& backup_failed, DWORD& late) {
  if (ready.backup[0] != '\0') {
    char backup_name[MAX_PATH];
    if (const DWORD error = backupNameOf(ready.path, backup_name)
                                ? moveTemporary(ready.backup, backup_name, MOVEFILE_REPLACE_EXISTING)
                                : ERROR_FILENAME_EXCED_RANGE;
        error != ERROR_SUCCESS) {
      backup_failed = true;
      return error;
    }
    backed_up = true;
    late = giveSecurity(backup_name, DACL_SECURITY_INFORMATION, ready.dacl);
  }
  if (ready.way == Way::kCreate) return moveTemporary(ready.copy, ready.path, 0);
  if (ready.way == Way::kCopy) {
    const DWORD error = moveTemporary(ready.copy, ready.path, MOVEFILE_REPLACE_EXISTING);
    if (error == ERROR_SUCCESS) {
      if (const DWORD given = giveSecurity(ready.path, DACL_SECURITY_INFORMATION, ready.dacl); late == ERROR_SUCCESS)
        late = given;
      return error;
    }
    // A file held for longer than a moment is reported; other refusals of
    // the move are written in place, unless the copy is left beside it.
    if (error == ERROR_SHARING_VIOLATION || !removeTemporary(ready.copy)) return error;
  }
  return writeInPlace(ready.path, contents, ready.mixed);
}

// Puts the temporary file `name` in `named` as it stands beside the file,
// after the last backslash.
void nameBeside(const char* name, char (&named)[288]) {
  const char* base = name;
  for (const char* at = name; *at != '\0'; ++at)
    if (*at == '\\' || *at == '/') base = at + 1;
  std::size_t size = 0;
  for (; base[size] != '\0' && size + 1 < sizeof named; ++size) named[size] = base[size];
  named[size] = '\0';
}

// Removes the temporary file `name`, if any; one that stays is named in
// `result`.
void dropTemporary(char (&name)[MAX_PATH], FilesWrite& result) {
  if (removeTemporary(name) || result.copy_left[0] != '\0') return;
  nameBeside(name, result.copy_left);
}


// ---- Words -------------------------------------------------------------------

// Puts the pieces of a text in `buffer`, one after another, cut to fit.
void keepWords(std::initializer_list<std::string_view> pieces, char (&buffer)[kWordsSize]) {
  std::size_t size = 0;
  for (const std::string_view piece : pieces) size += piece.copy(buffer + size, sizeof buffer - 1 - size);
  buffer[size] = '\0';
}

// Why file `path` (or its backup) was not written: the name, then the
// system's words for `error` without their final period, fit for the console.
void describeFailure(const char* path, bool backup, DWORD error, char (&words)[kWordsSize]) {
  char text[512];
  DWORD size = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                              sizeof text, nullptr);
  while (size > 0 && (text[size - 1] == '\r' || text[size - 1] == '\n' || text[size - 1] == ' ' || text[size - 1] == '.'))
    --size;
  size = static_cast<DWORD>(systemTextForConsole(text, size, sizeof text));
  if (size == 0) {
    const std::string_view unknown = "system error ";
    char* const digits = text + unknown.copy(text, unknown.size());
    size = static_cast<DWORD>(std::to_chars(digits, text + sizeof text, error).ptr - text);
  }
  keepWords({path, backup ? kBackupSuffix : std::string_view(), ": ", std::string_view(text, size)}, words);
}

}  // namespace

// Windows has no owners to judge a link by (see file_writer.h): the file is
// opened by name.
int openToRead(const char* path, char (&words)[kWordsSize]) {
  words[0] = '\0';
  const int fd = _open(path, _O_RDONLY | _O_BINARY);
  int type = 0;
  if (fd >= 0) {
    struct _stat file;
    type = _fstat(fd, &file) == 0 ? file.st_mode & _S_IFMT : 0;
    if (type == _S_IFREG || type == _S_IFCHR) return fd;
    _close(fd);
  } else {
    // A folder cannot be opened as a file, which says only "Permission denied".
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) type = _S_IFDIR;
  }
  keepWords({fd < 0 && type == 0 ? std::strerror(errno) : type == _S_IFDIR ? "Is a directory" : "not a file"}, words);
  return -1;
}

FilesWrite replaceFiles(const FileReplacement* files, int count) {
  FilesWrite result;
  Ready ready[kMaxReplacedFiles];
  const auto fail = [&](int i, DWORD error) {
    result.failed = i;
    describeFailure(files[i].path, result.backup_failed, error, result.words);
  };
  for (int i = 0; i < count && result.failed < 0; ++i)
    if (const DWORD error = makeReady(files[i], ready[i], result.backup_failed); error != ERROR_SUCCESS)
      fail(i, error);
  int late_file = -1;
  DWORD late = ERROR_SUCCESS;
  for (int i = 0; i < count && result.failed < 0; ++i) {
    DWORD not_given = ERROR_SUCCESS;
    if (const DWORD error = takePlace(ready[i], files[i].contents, result.backed_up[i], result.backup_failed, not_given);
        error != ERROR_SUCCESS) {
      fail(i, error);
      result.mixed = ready[i].mixed;
      // An earlier file is written: the old contents made ready as this
      // one's backup are kept where they are, and named.
      if (result.backup_failed && i > 0 && ready[i].backup[0] != '\0') {
        nameBeside(ready[i].backup, result.backup_kept);
        ready[i].backup[0] = '\0';
      }
      break;
    }
    result.written = i + 1;
    if (not_given != ERROR_SUCCESS && late == ERROR_SUCCESS) late_file = i, late = not_given;
  }
  // A file in its place whose DACL could not be given is reported, the
  // others written all the same.
  if (result.failed < 0 && late != ERROR_SUCCESS) fail(late_file, late);
  // Whatever was made ready and did not take its place goes again.
  for (Ready& file : ready) {
    dropTemporary(file.copy, result);
    dropTemporary(file.backup, result);
  }
  return result;
}
