// The two menu files the launcher reads: where they are, the start-up test
// that they can be read, the writer that rewrites both from the lists, and the
// reader that takes their entries back into the lists.
#ifndef HALVANE_CATALOGUE_MENU_FILES_H_
#define HALVANE_CATALOGUE_MENU_FILES_H_

#include <cstdint>
#include <string_view>

#include "catalogue/entry_list.h"
#include "platform/file_writer.h"
#include "platform/platform.h"

// Relative to the current folder: hvn, ini, then the file, in the platform's
// own notation (".\hvn\ini\games.ini" on Windows).
inline constexpr char kGameMenuPath[] =
    "." HVN_PATH_SEPARATOR "hvn" HVN_PATH_SEPARATOR "ini" HVN_PATH_SEPARATOR "games.ini";
inline constexpr char kAppMenuPath[] =
    "." HVN_PATH_SEPARATOR "hvn" HVN_PATH_SEPARATOR "ini" HVN_PATH_SEPARATOR "apps.ini";

// Why the menu file at `path` cannot be opened for reading (see openToRead),
// in words kept in `words`, or an empty view when it can. Nothing is read.
std::string_view checkMenuFile(const char* path, char (&words)[kWordsSize]);

// Rewrites the app menu and then the game menu, one "name==path" line with CR
// LF per entry, both or neither where that can be known, the old menus kept
// beside them where `backup` says so (see replaceFiles): file 0 of the result
// is the app menu, file 1 the game menu, and its words name the file.
FilesWrite writeMenuFiles(const EntryList& apps, const EntryList& games, const bool (&backup)[2]);

// Where reading a menu file stopped: `reason` is empty when every line was
// taken, otherwise it says why line number `line` (from 1, one more at every
// line end) could not be.
struct MenuFileRead {
  std::uint64_t line = 0;
  std::string_view reason;
};

// What a menu file was when it was read: which file, how long, and a digest
// of its bytes, so that a change made elsewhere since can be told.
struct MenuFileStamp {
  bool read = false;
  FileIdentity identity;
  std::uint64_t size = 0;
  std::uint64_t digest = 0;
};

// Appends the entries of the menu file at `path` to `list`, name and path byte
// for byte as they stand, with no rule but the list's limits. LF, CR LF and a
// CR on its own each end a line, and a blank line is skipped. A UTF-8
// byte-order mark at the start belongs to no name and is dropped; a file that
// starts as UTF-16 is refused. Reading stops at the first byte that makes a
// line impossible to hold whole, so an endless device cannot stall it; the
// entries taken before stay in `list`. Memory used does not grow with the
// length of a line. `stamp`, if given, is what the file was.
MenuFileRead readMenuFile(const char* path, EntryList& list, MenuFileStamp* stamp = nullptr);

// What the menu file at `path` is now, read no further than the longest menu
// a list is written as; a file that cannot be read has a stamp that says so.
MenuFileStamp stampMenuFile(const char* path);

// True when the menu file at `path` is still what `stamp` says: the same file
// holding the same bytes, or still unreadable. Reads no further than it must
// to tell, so a file grown without end cannot stall it.
bool unchangedSince(const char* path, const MenuFileStamp& stamp);

// A menu file as the session last knew it: its list, and what it was when
// last read, written or found changed, so that a change made elsewhere since
// is seen.
struct WatchedMenuFile {
  const char* path;
  EntryList& list;
  MenuFileStamp stamp;
};

// True when the file is no longer what the session last knew of it (other
// bytes, another file at its place, gone). It is then taken as it is now,
// so that it counts as changed again only once it changes again.
bool changedElsewhere(WatchedMenuFile& file);

#endif  // HALVANE_CATALOGUE_MENU_FILES_H_
