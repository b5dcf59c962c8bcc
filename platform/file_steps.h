// The system steps replaceFiles (file_writer.h) is made of. The algorithm
// over them is written once, in file_writer.cpp; each system defines these
// steps, in this order, in file_writer_posix.cpp and file_writer_win32.cpp.
// Private to the writer.
#ifndef HALVANE_PLATFORM_FILE_STEPS_H_
#define HALVANE_PLATFORM_FILE_STEPS_H_

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/file_writer.h"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <sys/stat.h>
#endif

// The system's number for what went wrong: errno on POSIX, GetLastError's on
// Windows; 0 is none.
using SystemError = unsigned long;

// Bytes in memory of their own. Nothing here throws (the Windows program
// carries no exception machinery): where memory runs out, `grow` says so.
struct Buffer {
  char* data = nullptr;
  std::size_t size = 0;
  Buffer() = default;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() { std::free(data); }
  // Makes it `bigger` bytes long, what it held kept; false where memory ran out.
  bool grow(std::size_t bigger) {
    char* const moved = static_cast<char*>(std::realloc(data, bigger > 0 ? bigger : 1));
    if (moved == nullptr) return false;
    data = moved;
    size = bigger;
    return true;
  }
  std::string_view view() const { return {data, size}; }
};

// Room for a temporary file's name: beside the file on POSIX, its whole path
// on Windows.
inline constexpr std::size_t kNameSize = 288;

// A file to be replaced, as the system found and judged it.
struct Target {
  const char* path = nullptr;
  bool exists = false;    // false: it has vanished, and is made anew
  bool device = false;    // not a file on a disk: written as it stands, nothing of it kept
  bool in_place = false;  // no copy may take its place (several names, ...): written in place
  char refusal[kWordsSize] = "";  // the program's words for a step it did not take
#ifdef _WIN32
  DWORD attributes = 0;
  Buffer owner, dacl;  // its security, given to what replaces it; empty where the volume has none
  HANDLE file = INVALID_HANDLE_VALUE;  // open while it is written in place
#else
  int folder = -1;  // the folder it stands in, open as a path
  int file = -1;    // the file, open for writing
  struct stat folder_info {}, info {};
  std::string folder_where;  // the folder as the walk reached it: "hvn/ini"
  std::string name;          // the file's name in it
  bool keeps_entries = false;  // the folder lets no entry be removed or replaced
#endif
  Target() = default;
  Target(const Target&) = delete;
  Target& operator=(const Target&) = delete;
  ~Target();  // closes what it holds
};

// What a write or read step did: the bytes it moved, also when it failed.
struct Moved {
  SystemError error = 0;
  std::size_t done = 0;
};

// What a temporary file beside the target is made to be.
enum class Made {
  kFresh,   // the file itself, where it vanished: as any new file is made
  kCopy,    // its new contents, with all the old file has beyond its bytes
  kBackup,  // its old contents, with its permissions and, where this user may give it, its owner
};

// Where a temporary file goes: over the file, or at the backup's name.
enum class Into { kFile, kBackup };

// Most old bytes read into memory: no menu comes near it.
inline constexpr std::size_t kMaxOldBytes = 16u << 20;

// Finds the file at `path` and judges it: every step to it, its kind, and
// whether this user may write it; opens it for writing where the system
// keeps it open. A vanished file is no failure (`exists` says so).
SystemError findFile(const char* path, Target& target);

// Whether the backup may take its name: not over a folder, nor over a name
// this user may not replace. Asked before either file changes.
SystemError judgeBackupName(Target& target);

// Makes `bytes` a file beside the target under a temporary name, flushed
// and closed, made as `made` says; its name in `name`, empty on a failure.
SystemError makeTemporary(Target& target, Made made, std::string_view bytes, char (&name)[kNameSize]);

// Moves the temporary file `name` to its place in one step, over what is
// there except where the file vanished; `name` is empty once it has moved.
SystemError moveIntoPlace(Target& target, char (&name)[kNameSize], Into into);

// What follows a move, once the file is in place: POSIX flushes the folder,
// Windows gives the old file's DACL. A failure is told, but undoes nothing.
SystemError settle(Target& target, Into into);

// Reads the whole of the file as it is at its name now, which must still be
// the file found. At most kMaxOldBytes.
SystemError readOld(Target& target, Buffer& bytes);

// Writes all of `bytes` at `offset` of the file, in one call where the
// system takes them.
Moved writeAt(Target& target, std::string_view bytes, std::uint64_t offset);

// Cuts the file to `size`.
SystemError cutAt(Target& target, std::uint64_t size);

// Flushes the file to the disk, then lets it go; a failed close counts.
SystemError flushAndClose(Target& target, bool flush);

// Removes the temporary file `name`, if any; false when it stays.
bool removeTemporary(Target& target, char (&name)[kNameSize]);

// Whether `error` means that the disk or the user's quota is full.
bool noRoom(SystemError error);

// Whether `error` means that another program holds the file for longer
// than the system's own wait.
bool heldElsewhere(SystemError error);

// The system's words for `error`, fit for the console, in `words`.
void systemWords(SystemError error, char (&words)[kWordsSize]);

// What temporary names are made from: the clock and the process's number,
// so that it differs from one call to the next and from process to process.
unsigned long long nameSeed();

// A new temporary name in `name`, the stem then a dot and six random letters
// and digits ("apps.ini.k3F9xQ"); each call gives another. False where the
// stem leaves no room for them. Shared by both sides.
inline constexpr std::size_t kTemporarySuffixSize = 7;
bool temporaryName(std::string_view stem, char (&name)[kNameSize]);

#endif  // HALVANE_PLATFORM_FILE_STEPS_H_
