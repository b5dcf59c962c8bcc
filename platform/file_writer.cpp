// The writer's algorithm, over the system steps of file_steps.h: both rounds,
// the choice between a copy and a write in place, the order in which a file
// and its backup take their places, the padded write, the clean-up and the
// words. docs/writing-files.md tells it case by case.
#include "platform/file_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/file_steps.h"
#include "platform/platform.h"

namespace {

// How a file's new contents take its place.
enum class Way {
  kCopy,     // a copy is moved over it
  kInPlace,  // it is written in place
  kCreate,   // it has vanished: a new file takes its name
};

// A file made ready to change: found and judged, its new contents (for a
// copy) and its backup written and flushed beside it under temporary names.
struct Ready {
  Target target;
  Way way = Way::kCreate;
  char copy[kNameSize] = "";    // the temporary name of the new contents, if any
  char backup[kNameSize] = "";  // the temporary name of the old contents, if any
  bool backed_up = false;
  bool mixed = false;  // written in place, cut short, and the old bytes not put back
};

// What a round came to for one file: the system's error, and whether it is
// its backup's.
struct Failure {
  SystemError error = 0;
  bool backup = false;
  bool changed = false;  // not what the caller last saw
  explicit operator bool() const { return error != 0 || changed; }
};

// Whether old bytes are worth a backup: they hold something but line ends
// (blank lines hold no entry), and they read otherwise than `contents`
// (they do not where they are the new contents followed by blank lines, as
// a save cut short leaves them).
bool worthKeeping(std::string_view old, std::string_view contents) {
  constexpr std::string_view kLineEnds = "\r\n";
  if (old.find_first_not_of(kLineEnds) == std::string_view::npos) return false;
  // A view made by hand, as substr could throw.
  return old.size() < contents.size() || std::string_view(old.data(), contents.size()) != contents ||
         old.find_first_not_of(kLineEnds, contents.size()) != std::string_view::npos;
}

// Reads the old bytes, judges them as the caller asks, and, where they are
// worth it, makes the backup of them.
Failure makeBackup(Ready& ready, const FileReplacement& file) {
  Buffer old;
  if (const SystemError error = readOld(ready.target, old); error != 0) return {error};
  if (file.as_last_seen != nullptr && !file.as_last_seen(old.view(), file.last_seen)) return {0, false, true};
  if (!file.backup || !worthKeeping(old.view(), file.contents)) return {};
  if (const SystemError error = judgeBackupName(ready.target); error != 0) return {error, true};
  return {makeTemporary(ready.target, Made::kBackup, old.view(), ready.backup), true};
}

// The first round: finds and judges the file, makes its backup, and chooses
// how its new contents take its place, making the copy that will.
Failure makeReady(const FileReplacement& file, Ready& ready) {
  Target& target = ready.target;
  if (const SystemError error = findFile(file.path, target); error != 0) return {error};
  // Vanished since the start: made anew in its own folder.
  if (!target.exists) return {makeTemporary(target, Made::kFresh, file.contents, ready.copy)};
  ready.way = Way::kInPlace;
  if (target.device) return {};
  if (file.backup || file.as_last_seen != nullptr)
    if (const Failure failure = makeBackup(ready, file)) return failure;
  if (target.in_place) return {};
  ready.way = Way::kCopy;
  const SystemError error = makeTemporary(target, Made::kCopy, file.contents, ready.copy);
  // No copy can be made (a folder that takes no new file, properties a copy
  // cannot be given): the file is written in place, which keeps them,
  // unless the copy is left beside it, or there was no room for it: then
  // there is none to overwrite in place either, where the file system
  // copies on write or compresses.
  if (error == 0) return {};
  if (!removeTemporary(target, ready.copy) || noRoom(error)) return {error};
  ready.way = Way::kInPlace;
  return {};
}

// Puts `size` bytes of blank lines at `bytes`, which a menu reader skips: a
// lone LF where the count is odd, then CR LF pairs.
void fillBlanks(char* bytes, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) bytes[i] = (size - i) % 2 == 0 ? '\r' : '\n';
}

// The error for memory that ran out.
SystemError noMemory() {
#ifdef _WIN32
  return ERROR_NOT_ENOUGH_MEMORY;
#else
  return ENOMEM;
#endif
}

// Makes room for the new contents, where they are longer than the old bytes,
// with blank lines at the end, taken back should they not all fit. Done
// before an older backup is replaced, so that a full disk leaves all as it
// was.
SystemError makeRoom(Target& target, std::uint64_t old_size, std::size_t new_size) {
  if (new_size <= old_size) return 0;
  Buffer blanks;
  if (!blanks.grow(static_cast<std::size_t>(new_size - old_size))) return noMemory();
  fillBlanks(blanks.data, blanks.size);
  const Moved grown = writeAt(target, blanks.view(), old_size);
  // Should taking them back fail too, they are only blank.
  if (grown.error != 0) cutAt(target, old_size);
  return grown.error;
}

// Overwrites the file, already grown to the new length, with `contents`
// padded with blank lines to the old length, in one write, and only then
// cuts it and flushes it: at every moment it reads as the old menu or the
// new one. A write cut short that then fails (a full disk, a quota: a file
// system that copies on write needs room even to overwrite) puts `old`
// back; `mixed` says when even that failed.
SystemError overwrite(Ready& ready, std::string_view old, std::string_view contents) {
  Target& target = ready.target;
  const std::size_t longer = std::max(old.size(), contents.size());
  Buffer padded;
  if (!padded.grow(longer)) return noMemory();
  if (!contents.empty()) std::memcpy(padded.data, contents.data(), contents.size());
  fillBlanks(padded.data + contents.size(), longer - contents.size());
  const Moved written = writeAt(target, padded.view(), 0);
  if (written.error != 0) {
    if (written.done > 0) ready.mixed = writeAt(target, old, 0).error != 0;
    flushAndClose(target, false);
    return written.error;
  }
  SystemError error = longer > contents.size() ? cutAt(target, contents.size()) : 0;
  const SystemError closed = flushAndClose(target, error == 0);
  return error != 0 ? error : closed;
}

// Writes the file in place: a device as it stands, a file over its old
// bytes, read again now, right before, from what is at its name.
SystemError writeInPlace(Ready& ready, std::string_view contents) {
  Target& target = ready.target;
  if (target.device) {
    SystemError error = writeAt(target, contents, 0).error;
    const SystemError closed = flushAndClose(target, false);
    return error != 0 ? error : closed;
  }
  Buffer old;
  SystemError error = readOld(target, old);
  if (error == 0) error = makeRoom(target, old.size, contents.size());
  return error != 0 ? error : overwrite(ready, old.view(), contents);
}

// The second round: the backup takes its name, then the new contents take
// the file's place, so that a kill leaves the old contents at one of the
// two. `late` keeps the first failure of what follows a move.
Failure takePlace(Ready& ready, std::string_view contents, SystemError& late) {
  Target& target = ready.target;
  const auto settled = [&](Into into) {
    if (const SystemError error = settle(target, into); late == 0) late = error;
  };
  // What a write in place may fail at is tried before an older backup is
  // replaced: the old bytes, read again, and room for the new.
  Buffer old;
  const bool in_place = ready.way == Way::kInPlace && !target.device;
  if (in_place) {
    if (const SystemError error = readOld(target, old); error != 0) return {error};
    if (const SystemError error = makeRoom(target, old.size, contents.size()); error != 0) return {error};
  }
  if (ready.backup[0] != '\0') {
    if (const SystemError error = moveIntoPlace(target, ready.backup, Into::kBackup); error != 0) return {error, true};
    ready.backed_up = true;
    settled(Into::kBackup);
  }
  if (in_place) return {overwrite(ready, old.view(), contents)};
  if (ready.way != Way::kInPlace) {
    const SystemError error = moveIntoPlace(target, ready.copy, Into::kFile);
    if (error == 0) {
      settled(Into::kFile);
      return {};
    }
    // A bind-mounted file, another user's file in a sticky folder: no copy
    // can take its place, so it is written in place instead, unless the
    // copy is left beside it, or another program holds the file.
    if (ready.way == Way::kCreate || heldElsewhere(error) || !removeTemporary(target, ready.copy)) return {error};
  }
  return {writeInPlace(ready, contents)};
}

// Puts the pieces of a text in `buffer`, one after another, cut to fit.
void keepWords(std::initializer_list<std::string_view> pieces, char (&buffer)[kWordsSize]) {
  std::size_t size = 0;
  for (const std::string_view piece : pieces) size += piece.copy(buffer + size, sizeof buffer - 1 - size);
  buffer[size] = '\0';
}

// Puts the temporary file `name` in `named` as it stands beside the file.
void nameBeside(std::string_view name, char (&named)[288]) {
  name.remove_prefix(std::min(name.size(), name.find_last_of("\\/") + 1));
  named[name.copy(named, sizeof named - 1)] = '\0';
}

}  // namespace

FilesWrite replaceFiles(const FileReplacement* files, int count) {
  FilesWrite result;
  Ready ready[kMaxReplacedFiles];
  const auto fail = [&](int i, Failure failure) {
    result.failed = i;
    result.backup_failed = failure.backup;
    result.changed = failure.changed;
    char words[kWordsSize];
    systemWords(failure.error, words);
    const char* const refusal = ready[i].target.refusal;
    keepWords({files[i].path, failure.backup ? kBackupSuffix : "", ": ",
               failure.changed ? "changed since it was last seen" : *refusal != '\0' ? refusal : words},
              result.words);
  };
  for (int i = 0; i < count && result.failed < 0; ++i)
    if (const Failure failure = makeReady(files[i], ready[i])) fail(i, failure);
  int late_file = -1;
  SystemError late = 0;
  for (int i = 0; i < count && result.failed < 0; ++i) {
    SystemError after_move = 0;
    const Failure failure = takePlace(ready[i], files[i].contents, after_move);
    if (failure) {
      fail(i, failure);
      result.mixed = ready[i].mixed;
      // An earlier file is written: the old contents made ready as this
      // one's backup are kept where they are, and named.
      if (failure.backup && i > 0 && ready[i].backup[0] != '\0') {
        nameBeside(ready[i].backup, result.backup_kept);
        ready[i].backup[0] = '\0';
      }
      break;
    }
    result.written = i + 1;
    if (after_move != 0 && late == 0) late_file = i, late = after_move;
  }
  // A file in its place whose folder could not be flushed, or whose DACL
  // could not be given, is told; the others are written all the same.
  if (result.failed < 0 && late != 0) fail(late_file, {late});
  // Whatever was made ready and did not take its place goes again.
  for (int i = 0; i < count; ++i) {
    result.backed_up[i] = ready[i].backed_up;
    for (char(*name)[kNameSize] : {&ready[i].copy, &ready[i].backup})
      if (!removeTemporary(ready[i].target, *name) && result.copy_left[0] == '\0') nameBeside(*name, result.copy_left);
  }
  return result;
}

std::string_view whyNotReplaceable(const char* path, char (&words)[kWordsSize]) {
  Target target;
  const SystemError error = findFile(path, target);
  if (error == 0) return {};
  systemWords(error, words);
  if (target.refusal[0] != '\0') keepWords({target.refusal}, words);
  return words;
}

bool temporaryName(std::string_view stem, char (&name)[kNameSize]) {
  static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  static unsigned long long serial = 0;
  if (stem.size() + kTemporarySuffixSize >= kNameSize) return false;
  unsigned long long mixed = nameSeed() ^ (++serial * 0x9E3779B97F4A7C15ULL);
  char* at = name + stem.copy(name, stem.size());
  *at++ = '.';
  for (int digit = 0; digit < 6; ++digit, mixed /= 62) *at++ = kDigits[mixed % 62];
  *at = '\0';
  return true;
}

bool readFileStart(const char* path, char* into, std::size_t capacity, std::size_t& size, bool& whole,
                   char (&words)[kWordsSize]) {
  const int fd = openToRead(path, words);
  if (fd < 0) return false;
  size = 0;
  long n = 0;
  while (size < capacity && (n = readFileBytes(fd, into + size, capacity - size)) > 0) size += static_cast<std::size_t>(n);
  char more = 0;
  whole = n == 0 || (n > 0 && readFileBytes(fd, &more, 1) == 0);
  if (n < 0) std::snprintf(words, sizeof words, "%s", std::strerror(errno));
  closeFile(fd);
  return n >= 0;
}
