// How files' whole contents are replaced, on each system: every file is
// judged and its replacement made ready before any of them changes, the old
// contents are kept beside each file first, and no file is ever left
// half-way.
#ifndef HALVANE_PLATFORM_FILE_WRITER_H_
#define HALVANE_PLATFORM_FILE_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

// Most files replaced together.
inline constexpr int kMaxReplacedFiles = 2;

// Room for why a file could not be reached or written, in words.
inline constexpr std::size_t kWordsSize = 640;

// The name a file's old contents are kept under, after its own name.
inline constexpr std::string_view kBackupSuffix = ".bak";

// One file to replace: where, what it is to hold, and whether its old
// contents are kept in a backup beside it first.
struct FileReplacement {
  const char* path;
  std::string_view contents;
  bool backup = true;
};

// What became of replacing files. `failed` is -1, or the file that was not
// written, or with `backup_failed` whose backup could not be made; `words`
// then say so, formed here once: the file named (or its backup), then the
// system's own words or the program's refusal ("./hvn/ini/apps.ini:
// Permission denied").
// `written` counts the files, from the first, that now hold their new
// contents; a file whose folder could not be flushed counts among them.
// `backed_up[i]` says that file i's old contents are in its backup.
// `copy_left` names a temporary file that could not be removed again, beside
// the file; it is empty whenever none was left.
struct FilesWrite {
  int failed = -1;
  int written = 0;
  bool backup_failed = false;
  bool mixed = false;  // file `failed` holds neither its old contents nor its new
  bool backed_up[kMaxReplacedFiles] = {};
  char copy_left[288] = "";
  // Where file `failed`'s backup could not take its name after an earlier
  // file was written, the old contents made ready for it stay beside the
  // file under this name, which is not removed; empty otherwise.
  char backup_kept[288] = "";
  char words[kWordsSize] = "";
};

// Makes each `contents` the whole of its file, the files in order. First
// every file is found, judged and made ready: its new contents written and
// flushed beside it, and, where it holds anything but blank lines and is to
// change, a backup of its old contents beside it (`apps.ini.bak`: a copy with
// its permission bits, and its owner where this user may give it). Only then
// does each take its place, so a file that cannot be written leaves every
// file as it was, and only a failure at the moment a later file takes its
// place leaves the earlier ones written. The backup takes its name just
// before the file changes, so a kill leaves the old contents at the file's
// name or at the backup's.
//
// A symbolic link is followed, but never from something another
// unprivileged user owns (neither root nor this user) to something someone
// else owns, and a file with several names in a folder others may write is
// not used: no other user can steer the write to a file of their choosing;
// the refusal names the step. An ordinary file is
// replaced whole by a copy that takes the old one's owner, group,
// permissions, ACL and extended attributes (Windows: its security and
// attributes). Where no copy can take its place (several names, a device, a
// bind mount, a folder that takes no new file or lets none be removed,
// properties a copy cannot be given), the file is written in place: room is
// made first with blank lines, and the new contents, padded with blank lines
// to the old length, go in one write before the file is cut, so at every
// moment the file reads as the old menu or the new one. A file that has
// vanished is made anew in its own folder, never through a link. A file marked
// read-only is never written, and no open waits for long.
FilesWrite replaceFiles(const FileReplacement* files, int count);

// Opens the file at `path` for reading, reached and judged as replaceFiles
// reaches and judges it, so that nothing another user could have steered
// this one to is ever opened, and only if it is an ordinary file or a
// device; never waits. Returns a descriptor for readFileBytes and closeFile,
// or -1 with why in `words`: the system's own, or the program's for
// something that is not a file or a step not taken.
int openToRead(const char* path, char (&words)[kWordsSize]);

// What a file's old bytes are to its backup: whether any is not a line end
// (blank lines hold no entry, and are not worth keeping) and whether they
// read otherwise than the new contents (which they do not where they are the
// new contents followed by blank lines, as a save cut short leaves them).
// Both sides judge them with this as they read; `differs` starts as whether
// the old bytes are fewer than the new.
struct OldBytes {
  bool holds_text = false;
  bool differs = false;
};

// Adds the block of old bytes that starts at `offset` to `old`.
void judgeOldBytes(OldBytes& old, std::string_view block, std::uint64_t offset, std::string_view contents);

#endif  // HALVANE_PLATFORM_FILE_WRITER_H_
