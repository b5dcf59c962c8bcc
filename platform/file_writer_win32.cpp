// Windows steps of the writer (file_steps.h). Windows has no owners to judge
// a path by (see file_writer.h): a file is reached by its name.
#include "platform/file_steps.h"

#include <cerrno>
#include <charconv>
#include <cstring>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include "platform/file_writer.h"
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
// first (whose result then counts).
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

// Opens the file at `path` as it is, waiting out a brief hold.
DWORD openExisting(const char* path, DWORD access, DWORD sharing, HANDLE& file) {
  return retryWhileHeld([&] {
    file = CreateFileA(path, access, sharing, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return file == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
  });
}
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

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

// ---- Carrying over -----------------------------------------------------------

constexpr SECURITY_INFORMATION kOwnerAndGroup = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION;

// Reads the security of the `kinds` asked for of the file at `path`.
// Returns why it could not; a volume without security (FAT) has none to
// read, which leaves `security` empty.
DWORD readSecurity(const char* path, SECURITY_INFORMATION kinds, Buffer& security) {
  DWORD size = 0;
  if (GetFileSecurityA(path, kinds, nullptr, 0, &size) || GetLastError() != ERROR_INSUFFICIENT_BUFFER)
    return GetLastError() == ERROR_NOT_SUPPORTED ? ERROR_SUCCESS : GetLastError();
  if (!security.grow(size)) return ERROR_NOT_ENOUGH_MEMORY;
  if (GetFileSecurityA(path, kinds, security.data, size, &size)) return ERROR_SUCCESS;
  const DWORD error = GetLastError();
  security.size = 0;
  return error;
}

// Gives the file at `path` the security of the `kinds` that `wanted` holds,
// where its own differs: a file made in the same folder inherits what a file
// there usually has, and under Wine setting it anyway rewrites the file's
// mode. Returns why it could not.
DWORD giveSecurity(const char* path, SECURITY_INFORMATION kinds, const Buffer& wanted) {
  if (wanted.size == 0) return ERROR_SUCCESS;
  Buffer now;
  if (readSecurity(path, kinds, now) == ERROR_SUCCESS && now.view() == wanted.view()) return ERROR_SUCCESS;
  return SetFileSecurityA(path, kinds, wanted.data) ? ERROR_SUCCESS : GetLastError();
}

// The attributes a copy of a file with `attributes` is made with.
DWORD carriedAttributes(DWORD attributes) {
  return attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                       FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
}

DWORD seek(HANDLE file, std::uint64_t offset) {
  LARGE_INTEGER position;
  position.QuadPart = static_cast<LONGLONG>(offset);
  return SetFilePointerEx(file, position, nullptr, FILE_BEGIN) ? ERROR_SUCCESS : GetLastError();
}

// Writes all of `bytes` at `offset`, in one call unless the system takes
// less; a byte-range lock held for a moment is waited for.
Moved writeAll(HANDLE file, std::string_view bytes, std::uint64_t offset) {
  Moved moved;
  while (moved.done < bytes.size()) {
    DWORD written = 0;
    moved.error = retryWhileHeld([&] {
      const DWORD moved_to = seek(file, offset + moved.done);
      if (moved_to != ERROR_SUCCESS) return moved_to;
      const DWORD size = static_cast<DWORD>(bytes.size() - moved.done);
      return WriteFile(file, bytes.data() + moved.done, size, &written, nullptr) ? ERROR_SUCCESS : GetLastError();
    });
    if (moved.error == ERROR_SUCCESS && written == 0) moved.error = ERROR_WRITE_FAULT;
    if (moved.error != ERROR_SUCCESS) break;
    moved.done += written;
  }
  return moved;
}

// The name a temporary file of the target moves to, the file's or its
// backup's, in `name`; false where that is longer than a path may be.
bool nameOf(const Target& target, Into into, char (&name)[MAX_PATH]) {
  const std::string_view path = target.path;
  const std::string_view suffix = into == Into::kBackup ? kBackupSuffix : "";
  if (path.size() + suffix.size() >= sizeof name) return false;
  suffix.copy(name + path.copy(name, path.size()), suffix.size());
  name[path.size() + suffix.size()] = '\0';
  return true;
}

}  // namespace

// ---- The steps ---------------------------------------------------------------

Target::~Target() {
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

// A file marked read-only, or a folder, is refused, and the file is opened
// for writing first, so that one this user may not write (a DACL that
// denies it) is refused with the system's reason, as on POSIX. A link (a
// reparse point), a file with several names, an encrypted or compressed
// file, one with named streams, one whose security cannot be read (and so
// not carried), and one whose temporary neighbour's full name would be
// longer than MAX_PATH are written in place, so that every name of it sees
// the new contents, nothing of it is lost, and the save does not fail for
// want of a name.
SystemError findFile(const char* path, Target& target) {
  target.path = path;
  target.attributes = GetFileAttributesA(path);
  if (target.attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error;
  }
  target.exists = true;
  if (target.attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) return ERROR_ACCESS_DENIED;
  Handle opened;
  if (const DWORD error = openExisting(path, GENERIC_WRITE, kShareAll, opened.handle); error != ERROR_SUCCESS)
    return error;
  const DWORD type = GetFileType(opened.handle);
  if (type == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR) return GetLastError();
  target.device = type != FILE_TYPE_DISK;
  if (target.device) return ERROR_SUCCESS;
  BY_HANDLE_FILE_INFORMATION info;
  const bool one_name = GetFileInformationByHandle(opened.handle, &info) && info.nNumberOfLinks == 1;
  const bool security_read = readSecurity(path, kOwnerAndGroup, target.owner) == ERROR_SUCCESS &&
                             readSecurity(path, DACL_SECURITY_INFORMATION, target.dacl) == ERROR_SUCCESS;
  char full[MAX_PATH];
  const DWORD length = GetFullPathNameA(path, sizeof full, full, nullptr);
  target.in_place = !one_name || !security_read || length == 0 || length + kTemporarySuffixSize >= sizeof full ||
                    (target.attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_ENCRYPTED |
                                          FILE_ATTRIBUTE_COMPRESSED)) != 0 ||
                    hasNamedStreams(path);
  return ERROR_SUCCESS;
}

// Not over a folder, nor over a file marked read-only, which no move
// replaces.
SystemError judgeBackupName(Target& target) {
  char name[MAX_PATH];
  if (!nameOf(target, Into::kBackup, name)) return ERROR_FILENAME_EXCED_RANGE;
  const DWORD attributes = GetFileAttributesA(name);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ERROR_SUCCESS : error;
  }
  return (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0 ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
}

// A copy and a backup take the old file's attributes at once, and its owner
// and group where this user may give them; its DACL only once moved (see
// settle): a DACL that lets this user write but not delete would leave a
// copy that could be neither moved nor removed.
SystemError makeTemporary(Target& target, Made made, std::string_view bytes, char (&name)[kNameSize]) {
  char stem[MAX_PATH];
  if (!nameOf(target, made == Made::kBackup ? Into::kBackup : Into::kFile, stem) ||
      std::strlen(stem) + kTemporarySuffixSize >= MAX_PATH)
    return ERROR_FILENAME_EXCED_RANGE;
  const DWORD attributes = made == Made::kFresh ? 0 : carriedAttributes(target.attributes);
  Handle file;
  DWORD error = ERROR_FILE_EXISTS;
  for (int attempt = 0; attempt < 100 && error == ERROR_FILE_EXISTS; ++attempt) {
    temporaryName(stem, name);
    file.handle = CreateFileA(name, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL, nullptr);
    error = file.handle == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
  }
  if (error != ERROR_SUCCESS) {
    name[0] = '\0';
    return error;
  }
  error = writeAll(file.handle, bytes, 0).error;
  if (error == ERROR_SUCCESS && !FlushFileBuffers(file.handle)) error = GetLastError();
  if (!file.release() && error == ERROR_SUCCESS) error = GetLastError();
  if (error == ERROR_SUCCESS && made != Made::kFresh) giveSecurity(name, kOwnerAndGroup, target.owner);
  return error;
}

// MoveFileEx rather than ReplaceFile, some of whose failures leave the old
// file gone or renamed: a failure here leaves both as they were.
SystemError moveIntoPlace(Target& target, char (&name)[kNameSize], Into into) {
  char to[MAX_PATH];
  if (!nameOf(target, into, to)) return ERROR_FILENAME_EXCED_RANGE;
  const DWORD replace = into == Into::kFile && !target.exists ? 0 : MOVEFILE_REPLACE_EXISTING;
  const DWORD error = retryWhileHeld([&] {
    return MoveFileExA(name, to, replace | MOVEFILE_WRITE_THROUGH) ? ERROR_SUCCESS : GetLastError();
  });
  if (error == ERROR_SUCCESS) name[0] = '\0';
  return error;
}

SystemError settle(Target& target, Into into) {
  char name[MAX_PATH];
  return nameOf(target, into, name) ? giveSecurity(name, DACL_SECURITY_INFORMATION, target.dacl) : ERROR_SUCCESS;
}

SystemError readOld(Target& target, Buffer& bytes) {
  Handle old;
  if (const DWORD error = openExisting(target.path, GENERIC_READ, kShareAll, old.handle); error != ERROR_SUCCESS)
    return error;
  for (std::size_t got = 0;;) {
    if (got >= kMaxOldBytes) return ERROR_FILE_TOO_LARGE;
    if (!bytes.grow(got + 64 * 1024)) return ERROR_NOT_ENOUGH_MEMORY;
    DWORD n = 0;
    if (!ReadFile(old.handle, bytes.data + got, static_cast<DWORD>(bytes.size - got), &n, nullptr)) return GetLastError();
    got += n;
    if (n == 0) return bytes.grow(got) ? ERROR_SUCCESS : ERROR_NOT_ENOUGH_MEMORY;
  }
}

// The file is opened as it is, not created anew, so it keeps its
// attributes, security and streams (a hidden or system file cannot be
// created over); others may read it meanwhile, not write it.
Moved writeAt(Target& target, std::string_view bytes, std::uint64_t offset) {
  if (target.file == INVALID_HANDLE_VALUE)
    if (const DWORD error = openExisting(target.path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, target.file);
        error != ERROR_SUCCESS)
      return {error, 0};
  return writeAll(target.file, bytes, offset);
}

SystemError cutAt(Target& target, std::uint64_t size) {
  const DWORD error = seek(target.file, size);
  return error != ERROR_SUCCESS || SetEndOfFile(target.file) ? error : GetLastError();
}

SystemError flushAndClose(Target& target, bool flush) {
  const DWORD error = flush && !FlushFileBuffers(target.file) ? GetLastError() : ERROR_SUCCESS;
  const HANDLE file = target.file;
  target.file = INVALID_HANDLE_VALUE;
  return !CloseHandle(file) && error == ERROR_SUCCESS ? GetLastError() : error;
}

bool removeTemporary(Target&, char (&name)[kNameSize]) {
  if (name[0] == '\0') return true;
  const DWORD error = retryWhileHeld([&] { return DeleteFileA(name) ? ERROR_SUCCESS : GetLastError(); });
  if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND) return false;
  name[0] = '\0';
  return true;
}

bool noRoom(SystemError error) { return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL; }

unsigned long long nameSeed() {
  return GetTickCount() ^ (static_cast<unsigned long long>(GetCurrentProcessId()) << 32);
}

// A file held for longer than a moment is told, not written in place.
bool heldElsewhere(SystemError error) { return error == ERROR_SHARING_VIOLATION; }

// Without their final period, in the console's code page.
void systemWords(SystemError error, char (&words)[kWordsSize]) {
  DWORD size = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, words,
                              sizeof words, nullptr);
  while (size > 0 && (words[size - 1] == '\r' || words[size - 1] == '\n' || words[size - 1] == ' ' || words[size - 1] == '.'))
    --size;
  size = static_cast<DWORD>(systemTextForConsole(words, size, sizeof words - 1));
  if (size == 0) {
    const std::string_view unknown = "system error ";
    size = static_cast<DWORD>(std::to_chars(words + unknown.copy(words, unknown.size()), words + sizeof words - 1, error).ptr - words);
  }
  words[size] = '\0';
}

int openToRead(const char* path, char (&words)[kWordsSize]) {
  words[0] = '\0';
  int fd = -1;
  const DWORD held = retryWhileHeld([&] {
    SetLastError(ERROR_SUCCESS);
    fd = _open(path, _O_RDONLY | _O_BINARY);
    return fd < 0 && GetLastError() == ERROR_SHARING_VIOLATION ? ERROR_SHARING_VIOLATION : ERROR_SUCCESS;
  });
  if (held != ERROR_SUCCESS) {
    systemWords(held, words);
    return kHeldElsewhere;
  }
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
  const std::string_view told = fd < 0 && type == 0 ? std::strerror(errno) : type == _S_IFDIR ? "Is a directory" : "not a file";
  words[told.copy(words, sizeof words - 1)] = '\0';
  return -1;
}
