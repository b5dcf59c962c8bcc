// The menu files' trip to the console and back over FTP: the console's
// address, bringing its two menus here as a save writes them, and sending
// these two there so that every moment leaves each of its old menus whole.
#ifndef HALVANE_CATALOGUE_CONSOLE_TRIP_H_
#define HALVANE_CATALOGUE_CONSOLE_TRIP_H_

#include <string_view>

#include "platform/file_writer.h"
#include "platform/ftp.h"

// Where the console's folder that holds hvn is, as FTP clients take it:
// ftp://[user[:password]@]host[:port]/path, percent-escapes decoded.
struct ConsoleAddress {
  char user[128] = "anonymous";
  char password[128] = "";
  bool named_user = false;
  bool named_password = false;
  char host[256] = "";
  unsigned port = 21;
  char folder[1024] = "";  // "/E/Dash": from the top, no slash at its end
};

// Reads `url` into `address`. Returns null, or what makes it unusable.
const char* readConsoleAddress(std::string_view url, ConsoleAddress& address);

// The address as messages show it: its password never, "***" in its place.
void showAddress(const ConsoleAddress& address, char (&shown)[1536]);

// Where a trip stopped, if it did: `words` say at which step and why, with
// the server's own words.
struct TripResult {
  bool done = false;
  bool same = false;         // fetch: the console's menus were these already, and nothing was written
  FilesWrite written;        // fetch: what the save here did
  char words[4096] = "";
};

// Reads the console's two menu files and writes them here as a save does:
// both or neither, each old menu kept as its .bak, hvn\ini made where it
// is missing; unless they are the bytes these hold already.
TripResult fetchMenus(FtpConnection* connection, const ConsoleAddress& address);

// Sends the two menu files here to the console: each new one under a
// temporary name first and its size checked; then, a file at a time, the
// console's old menu renamed to its .bak (an older .bak removed first where
// the server will not rename over it), then the new one into its place.
// Nothing here changes.
TripResult sendMenus(FtpConnection* connection, const ConsoleAddress& address);

#endif  // HALVANE_CATALOGUE_CONSOLE_TRIP_H_
