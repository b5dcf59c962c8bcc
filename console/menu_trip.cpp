#include "console/menu_trip.h"

#include <cstdio>
#include <cstring>

#include "catalogue/menu_files.h"
#include "console/menu_start.h"
#include "console/token_reader.h"

namespace {

// A password typed once in a run serves every trip of it, and is never
// kept past it.
struct Typed {
  char password[sizeof ConsoleAddress::password] = "";
  bool given = false;
} typed;

void sayError(std::initializer_list<std::string_view> pieces) {
  ConsoleStream errors(kStandardInput, kStandardError);
  writeTexts(errors, pieces);
  flushOutput(errors);
}

// Where a trip stopped, on standard error: "Could not send /E/Dash/...:
// ... (the console said: 552 ...); nothing here changed".
int notDone(const TripResult& trip, std::string_view after) {
  sayError({trip.words, after, "\n"});
  return kTripNotDone;
}

// Reaches the console at `url` and takes `step` there; false, with
// `status`, where it could not be reached.
bool travel(const char* url, TripResult (*step)(FtpConnection*, const ConsoleAddress&), ConsoleAddress& address,
            TripResult& trip, int& status) {
  FtpConnection* const connection = reachConsole(url, address, status);
  if (connection == nullptr) return false;
  trip = step(connection, address);
  ftpClose(connection);
  return true;
}

// A trip as the whole run: what it says, then the wait of a console window
// of its own.
int alone(int (*trip)(ConsoleStream&, const char*), const char* url) {
  prepareConsoleStreams();
  ConsoleStream out;
  const int status = trip(out, url);
  flushOutput(out);
  holdClosingConsole(out);
  return status;
}

int fetchInto(ConsoleStream& out, const char* url, bool for_session) {
  ConsoleAddress address;
  TripResult trip;
  int status = kTripDone;
  if (!travel(url, fetchMenus, address, trip, status)) return status;
  char shown[1536];
  showAddress(address, shown);
  if (!trip.done) return notDone(trip, "; nothing here changed");
  if (trip.same) {
    writeTexts(out, {"The console's menus at ", shown, " are the ones here\n"});
    return kTripDone;
  }
  if (for_session) {
    writeTexts(out, {"The console's menus differ from these: kept the console's, from ", shown});
  } else {
    writeTexts(out, {"Fetched ", kGameMenuPath, " and ", kAppMenuPath, " from ", shown});
  }
  sayBackups(out, trip.written.backed_up);
  writeText(out, "\n");
  return kTripDone;
}

}  // namespace

FtpConnection* reachConsole(const char* url, ConsoleAddress& address, int& status) {
  if (const char* const wrong = readConsoleAddress(url, address)) {
    sayError({"halvane-menu: the console's address cannot be used: ", wrong, "\n"});
    status = kTripUnusable;
    return nullptr;
  }
  char shown[1536];
  showAddress(address, shown);
  if (address.named_user && !address.named_password && typed.given) {
    std::memcpy(address.password, typed.password, sizeof address.password);
  } else if (address.named_user && !address.named_password) {
    // Asked at a terminal only, and never shown; a script gives it in the
    // address.
    if (isConsole(kStandardInput)) sayError({"Password for ", address.user, " at ", address.host, ": "});
    if (!isConsole(kStandardInput) || readHiddenLine(address.password, sizeof address.password) < 0) {
      sayError({"halvane-menu: ", shown, " names no password, and there is no terminal to ask for it at: give it as ftp://",
                address.user, ":PASSWORD@...\n"});
      status = kTripUnusable;
      return nullptr;
    }
    std::memcpy(typed.password, address.password, sizeof typed.password);
    typed.given = true;
  }
  char words[kWordsSize];
  const FtpLogin login{address.host, address.port, address.user, address.password};
  FtpConnection* const connection = ftpOpen(login, words);
  std::memset(address.password, 0, sizeof address.password);
  if (connection == nullptr) {
    sayError({"Could not reach ", shown, ": ", words, "\n"});
    status = kTripNotDone;
  }
  return connection;
}

int runFetch(const char* url) {
  return alone([](ConsoleStream& out, const char* address) { return fetchInto(out, address, false); }, url);
}

int sendAfterSave(ConsoleStream& out, const char* url) {
  ConsoleAddress address;
  TripResult trip;
  int status = kTripDone;
  if (!travel(url, sendMenus, address, trip, status)) return status;
  if (!trip.done) return notDone(trip, "; the console's old menus are at their names or their .bak there");
  char shown[1536];
  showAddress(address, shown);
  writeTexts(out, {"Sent ", kGameMenuPath, " and ", kAppMenuPath, " to ", shown, "\n"});
  return kTripDone;
}

int runSend(const char* url) { return alone(sendAfterSave, url); }

int fetchForSession(ConsoleStream& out, const char* url) { return fetchInto(out, url, true); }
