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

// What a menu file was when it was read: its first kStampedBytes, by count
// and a digest, or that it could not be read; so that a change made
// elsewhere since can be told. The same bytes under a new file number (an
// editor saving what it read) are the same: nothing is lost by replacing
// them.
inline constexpr std::uint64_t kStampedBytes = 1u << 20;
struct MenuFileStamp {
  bool read = false;
  std::uint64_t size = 0;
  std::uint64_t digest = 14695981039346656037ULL;  // FNV-1a's offset basis: no bytes yet
};

// Rewrites the app menu and then the game menu, one "name==path" line with CR
// LF per entry, both or neither where that can be known, the old menus kept
// beside them where `backup` says so (see replaceFiles): file 0 of the result
// is the app menu, file 1 the game menu, and its words name the file. Given
// `last_seen` (app menu first), a file that no longer holds what its stamp
// says stops the save before either file changes (`changed`).
FilesWrite writeMenuFiles(const EntryList& apps, const EntryList& games, const bool (&backup)[2],
                          const MenuFileStamp* const (&last_seen)[2]);

// Where reading a menu file stopped: `reason` is empty when every line was
// taken, otherwise it says why line number `line` (from 1, one more at every
// line end) could not be.
struct MenuFileRead {
  std::uint64_t line = 0;
  std::string_view reason;
};

// Appends the entries of the menu file at `path` to `list`, name and path byte
// for byte as they stand, with no rule but the list's limits. LF, CR LF and a
// CR on its own each end a line, and a blank line is skipped. A UTF-8
// byte-order mark at the start belongs to no name and is dropped; a file that
// starts as UTF-16 is refused. Reading stops at the first byte that makes a
// line impossible to hold whole, so an endless device cannot stall it; the
// entries taken before stay in `list`. Memory used does not grow with the
// length of a line. `stamp`, if given, is what the file was; `lines`, if
// given, kMaxEntries numbers, takes the line number of each entry taken, by
// its place in `list`.
MenuFileRead readMenuFile(const char* path, EntryList& list, MenuFileStamp* stamp = nullptr,
                          std::uint64_t* lines = nullptr);

// A menu file as the session last knew it: its list, and what it was when
// last read, written or looked at, so that a change made elsewhere since
// is seen.
struct WatchedMenuFile {
  const char* path;
  EntryList& list;
  MenuFileStamp stamp;
  bool unreadable_told = false;  // it could not be read at the last look, which said so
};

// How a watched file stands against what the session last knew of it.
enum class Elsewhere {
  kUnchanged,
  kChanged,     // other bytes
  kUnreadable,  // it cannot be read now (gone, a stick pulled): why in words
  kHeld,        // another program holds it (Windows)
};

// Looks at the file again, read no further than kStampedBytes, so that a
// device without end cannot stall it. A changed file is taken as it is now,
// so that it counts again only once it changes again. One that cannot be
// read keeps its last stamp, so that the next look compares bytes, and is
// named once: a second look that cannot read it leaves the rest to the
// writer.
Elsewhere lookAgain(WatchedMenuFile& file, char (&words)[kWordsSize]);

// Takes the file as it is after a save that failed: what it holds now, or,
// where it cannot be read, as told (the save's message said why).
void lookAfterFailedSave(WatchedMenuFile& file);

#endif  // HALVANE_CATALOGUE_MENU_FILES_H_
