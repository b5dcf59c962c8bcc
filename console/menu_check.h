// --check: the entries of both menu files that may not start on the
// console, one line each in the form editors and build tools take, and the
// words the menu uses for doubtful entries as they are made.
#ifndef HALVANE_CONSOLE_MENU_CHECK_H_
#define HALVANE_CONSOLE_MENU_CHECK_H_

#include <cstdint>
#include <string_view>

#include "catalogue/entry_checks.h"
#include "console/console_stream.h"

// Reads both menu files as --keep does, then writes on standard output a
// line for each doubtful entry, "./hvn/ini/games.ini:3: Outrun==E:/o.xbe:
// forward slashes; ...", and on standard error how many there were. Nothing
// is written to the files. Returns 0 when no entry is doubtful, 1 when some
// are, 2 when a file cannot be read or kept or the answer cannot be written.
int runMenuCheck();

// Says `doubts`, joined by "; ": each one's words and part, and the other
// entry it repeats as `other`, a space and that entry's number (numbers[i], or i + 1
// without numbers): "the same path as game 2".
void sayDoubts(ConsoleStream& out, const Doubts& doubts, std::string_view other,
               const std::uint64_t* numbers = nullptr);

// "3 entries may not start on the console; --check lists them".
void sayDoubtfulCount(ConsoleStream& out, int doubtful);

#endif  // HALVANE_CONSOLE_MENU_CHECK_H_
