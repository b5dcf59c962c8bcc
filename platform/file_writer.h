// How files' whole contents are replaced, on each system, by one algorithm
// (file_writer.cpp) over each system's steps (file_steps.h).
#ifndef HALVANE_PLATFORM_FILE_WRITER_H_
#define HALVANE_PLATFORM_FILE_WRITER_H_

#include <cstddef>
#include <string_view>

// Most files replaced together.
inline constexpr int kMaxReplacedFiles = 2;

// Room for why a file could not be reached or written, in words.
inline constexpr std::size_t kWordsSize = 640;

// The name a file's old contents are kept under, after its own name.
inline constexpr std::string_view kBackupSuffix = ".bak";

// One file to replace: where, what it is to hold, and whether its old
// contents are kept in a backup beside it first. Where `as_last_seen` is
// given, the old contents are read first and must be what it takes them
// for, given `last_seen`; other bytes (an edit saved elsewhere since the
// caller last looked) stop the save before any file changes, with
// `changed`.
struct FileReplacement {
  const char* path;
  std::string_view contents;
  bool backup = true;
  bool (*as_last_seen)(std::string_view old, const void* last_seen) = nullptr;
  const void* last_seen = nullptr;
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
  bool changed = false;  // file `failed` is not what `as_last_seen` took it for
  bool mixed = false;  // file `failed` holds neither its old contents nor its new
  bool backed_up[kMaxReplacedFiles] = {};
  char copy_left[288] = "";
  // Where file `failed`'s backup could not take its name after an earlier
  // file was written, the old contents made ready for it stay beside the
  // file under this name, which is not removed; empty otherwise.
  char backup_kept[288] = "";
  char words[kWordsSize] = "";
};

// Makes each `contents` the whole of its file, the files in order, so that
// no file is ever left half-way and no old menu is lost. First every file is
// found, judged and made ready: its new contents written and flushed beside
// it, and a backup of old contents worth keeping (`apps.ini.bak`). Only then
// does each take its place, its backup first, so a file that cannot be
// written leaves every file as it was, and a kill leaves the old contents at
// the file's name or at its backup's. No other user can steer the write to a
// file of their choosing; a file that no copy can replace is written in
// place, padded so that it reads as the old menu or the new one at every
// moment. docs/writing-files.md tells each case.
FilesWrite replaceFiles(const FileReplacement* files, int count);

// Opens the file at `path` for reading, reached and judged as replaceFiles
// reaches and judges it, so that nothing another user could have steered
// this one to is ever opened, and only if it is an ordinary file or a
// device; waits only for another program's brief hold (Windows). Returns a
// descriptor for readFileBytes and closeFile, or -1 with why in `words`:
// the system's own, or the program's for something that is not a file or a
// step not taken; or kHeldElsewhere where another program still holds it.
inline constexpr int kHeldElsewhere = -2;

// Why the file at `path` could not be replaced now, as the first round of
// replaceFiles finds it (reached, judged, opened for writing and let go
// unchanged), in words kept in `words`; an empty view when it could.
std::string_view whyNotReplaceable(const char* path, char (&words)[kWordsSize]);
int openToRead(const char* path, char (&words)[kWordsSize]);

// Reads the file at `path`, opened as openToRead opens it, from its start
// into `into` until `capacity` bytes are read or it ends: `size` says how
// many, `whole` whether it ended there. False, with why in `words`, where it
// cannot be opened or read.
bool readFileStart(const char* path, char* into, std::size_t capacity, std::size_t& size, bool& whole,
                   char (&words)[kWordsSize]);

#endif  // HALVANE_PLATFORM_FILE_WRITER_H_
