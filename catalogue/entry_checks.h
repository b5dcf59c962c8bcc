// What may keep an entry from starting on the console: its path against the
// console's drives and the rules of its file system, its name against what
// the console shows, and the entry against the rest of its list. These are
// warnings only: an entry is stored and written whatever they say.
// docs/console-checks.md gives each rule with its sources.
#ifndef HALVANE_CATALOGUE_ENTRY_CHECKS_H_
#define HALVANE_CATALOGUE_ENTRY_CHECKS_H_

#include <string_view>

#include "catalogue/entry_list.h"

// One thing doubtful about an entry, said as `words`, then `part` (the
// folder or file name it is about, where there is one), then `after`; or,
// where `same_as` is set, `words` and that other entry of the list.
struct Doubt {
  std::string_view words;
  std::string_view part;
  std::string_view after;
  int same_as = -1;
};

// Every rule at most once, in the order of the table.
inline constexpr int kMaxDoubts = 13;
struct Doubts {
  Doubt doubt[kMaxDoubts];
  int count = 0;
};

// What is doubtful about entry `i` (0 <= i < count(list)). A directory entry
// (named "autoadd") is judged as a folder, any other as a program.
Doubts doubtsAbout(const EntryList& list, int i);

// How many entries of `list` have something doubtful.
int doubtfulEntries(const EntryList& list);

#endif  // HALVANE_CATALOGUE_ENTRY_CHECKS_H_
