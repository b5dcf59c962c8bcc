// The program's dialogue: the start-up test, then the numbered menu shown again
// and again until the user writes the files or leaves.
#ifndef HALVANE_CONSOLE_MENU_LOOP_H_
#define HALVANE_CONSOLE_MENU_LOOP_H_

#include "console/console_stream.h"

// Runs the whole program on standard input and output. With `keep_menus` the
// lists start with the entries the menu files hold; with `console_url` too,
// the console's menus are fetched first and sent back after a save. Returns the exit status:
// 1 when a menu file could not be read or kept at the start, when the last
// write of the session failed, or when input ended with --keep's edits not
// written; otherwise 0.
int runMenuLoop(bool keep_menus = false, const char* console_url = nullptr);

// Runs the dialogue on `console`: the start-up test, then the menu until a way
// out. Returns the exit status, as runMenuLoop does. Output may still be
// buffered on return.
int runMenuSession(ConsoleStream& console, bool keep_menus = false, const char* console_url = nullptr);

#endif  // HALVANE_CONSOLE_MENU_LOOP_H_
