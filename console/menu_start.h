// What a session over the two menu files finds at its start: whether both
// can be read, and with --keep or --check their entries in the lists. What
// stops it is said on standard error, with what to do about it.
#ifndef HALVANE_CONSOLE_MENU_START_H_
#define HALVANE_CONSOLE_MENU_START_H_

#include <cstdint>
#include <string_view>

#include "catalogue/menu_files.h"
#include "console/console_stream.h"

// The first of the two menu files that cannot be opened for reading, or
// null when both can; `why` then says why, in `words`.
const char* firstUnreadableMenuFile(std::string_view& why, char (&words)[kWordsSize]);

// Says on standard error which menu file the start could not read, in which
// folder, and why, and what to do where the cause is a common one; with
// `says_wait`, at a console, also how the wait that follows ends.
void reportFailedCheck(const ConsoleStream& console, const char* path, std::string_view why, bool says_wait);

// Reads the game menu and then the app menu into their lists (`lines`, if
// given, the line number of each entry of each file). The first line that
// cannot be kept is said on standard error, and false returned.
bool keepMenuFiles(WatchedMenuFile (&files)[2], std::uint64_t (*lines)[kMaxEntries] = nullptr);

// True at a console whose caller waits for a key once the program ends:
// Edit menus.cmd pauses itself, and says so with HVN_CALLER_PAUSES, so that
// the program's own wait would be a second one.
bool callerPauses(const ConsoleStream& console);

// Where a save kept the old menus, app menu first in `backed_up` as the
// files are written: " (the old menus are in games.ini.bak and
// apps.ini.bak)", or nothing where it kept none.
void sayBackups(ConsoleStream& out, const bool (&backed_up)[2]);

// A menu file's name alone, as it stands in its folder.
std::string_view baseName(std::string_view path);

#endif  // HALVANE_CONSOLE_MENU_START_H_
