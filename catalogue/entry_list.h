// The game list and the app list: what the user has entered, in order, with
// the rules for adding to them. They start empty and grow at the end; only the
// user's own edits (remove, move, change) touch an entry already there.
#ifndef HALVANE_CATALOGUE_ENTRY_LIST_H_
#define HALVANE_CATALOGUE_ENTRY_LIST_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

// Most entries one list holds.
inline constexpr int kMaxEntries = 255;
// Bytes of one name or path slot: the text and its terminating zero byte.
inline constexpr std::size_t kFieldSize = 255;
// Longest name or path that fits a slot.
inline constexpr std::size_t kMaxTextLength = kFieldSize - 1;

// One menu line, handed out read-only. A typed name or path holds no
// whitespace; one kept from a menu file may.
struct MenuEntry {
  std::string_view name;
  std::string_view path;
};

// Entries 0 to count - 1 are slot i of both tables, in order of addition.
// Slots at or beyond count hold nothing of meaning.
struct EntryList {
  char names[kMaxEntries][kFieldSize];
  char paths[kMaxEntries][kFieldSize];
  std::int32_t count;
};

// The two lists of the program, empty at start and never cleared.
extern EntryList gameList;
extern EntryList appList;

// What became of an addition. Only kAccepted changes the list.
enum class AddResult {
  kAccepted,  // the entry is now the list's last one
  kRejected,  // the path has a colon as its third character
  kListFull,  // not stored: the list already holds kMaxEntries entries
  kTooLong,   // not stored: the name or path exceeds kMaxTextLength
  kBadName,   // not stored: the name holds "==" or ends in '=', so its line
              // would be split elsewhere when the file is read back
  kMarkedName,  // not stored: the name starts with a byte-order mark, which a
                // reader takes for the file's encoding, not for the name
};

// Adds the folder `path` under the name "autoadd", first appending a backslash
// unless the path already ends in one. Text ends at its first zero byte.
AddResult addDirectoryEntry(EntryList& list, std::string_view path);

// Adds a single program by name and path, both stored as given. Text ends at
// its first zero byte. A name that "==" could not follow unambiguously is
// refused (kBadName).
AddResult addTitleEntry(EntryList& list, std::string_view name,
                        std::string_view path);

// Appends an entry read back from a menu file, name and path exactly as given:
// only the limits and the mark rule apply (kAccepted, kListFull, kTooLong or
// kMarkedName), since the entry is the user's own and is never rewritten.
AddResult keepEntry(EntryList& list, std::string_view name, std::string_view path);

// Takes entry `i` out of `list`; the entries after it move up, in order.
// Returns false, changing nothing, unless 0 <= i < count(list).
bool removeEntry(EntryList& list, int i);

// Puts entry `from` at position `to`; the others keep their order. Returns
// false, changing nothing, unless both are from 0 to count(list) - 1.
bool moveEntry(EntryList& list, int from, int to);

// True when entry `i` is a directory entry: its name is "autoadd".
bool isDirectoryEntry(const EntryList& list, int i);

// Gives entry `i` (0 <= i < count(list)) a new name and path by the rules of
// adding: a directory entry keeps its name (`name` is not used) and gets the
// backslash rule, a single program the name rule; both the limits and the
// path rule. Anything but kAccepted leaves the entry exactly as it was.
AddResult changeEntry(EntryList& list, int i, std::string_view name, std::string_view path);

// Judges a typed name alone, before its path is asked for, by the rules
// addTitleEntry applies to it: kAccepted, kTooLong, kMarkedName or kBadName.
AddResult judgeName(std::string_view name);

// True when the path's third character (position 2) is a colon; such paths are
// refused for every kind of entry.
bool isRejectedPath(std::string_view path);

// Empties `list`, as at the start.
void clear(EntryList& list);

// Number of valid entries.
int count(const EntryList& list);

// Entry `i`, for 0 <= i < count(list).
MenuEntry entry(const EntryList& list, int i);

#endif  // HALVANE_CATALOGUE_ENTRY_LIST_H_
