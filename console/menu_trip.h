// --fetch and --send, and --keep's --console: the menus brought from the
// console and sent back, with what the user is told and asked on the way
// (a password never echoed, never shown).
#ifndef HALVANE_CONSOLE_MENU_TRIP_H_
#define HALVANE_CONSOLE_MENU_TRIP_H_

#include "catalogue/console_trip.h"
#include "console/console_stream.h"

// Exit statuses of a trip: done, not done (the step and why are said), an
// address that cannot be used.
inline constexpr int kTripDone = 0;
inline constexpr int kTripNotDone = 1;
inline constexpr int kTripUnusable = 2;

// Reads `url`, asking for its password at a terminal where it names a user
// but none, and connects. Null, with what went wrong said on standard error
// and `status` set, where it cannot.
FtpConnection* reachConsole(const char* url, ConsoleAddress& address, int& status);

// --fetch URL and --send URL: the whole run. Returns its status.
int runFetch(const char* url);
int runSend(const char* url);

// With --keep --console: before the menus are kept, brings the console's
// and says how they stand against these; after a save, sends them back.
// Each says on `out` what it did, on standard error why it could not, and
// returns its status.
int fetchForSession(ConsoleStream& out, const char* url);
int sendAfterSave(ConsoleStream& out, const char* url);

#endif  // HALVANE_CONSOLE_MENU_TRIP_H_
