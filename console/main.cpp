// Halvane menu creator: builds the launcher's games.ini and apps.ini from a
// numbered console menu. Run with no arguments it is the menu alone; it reads
// no environment.
#include "console/command_line.h"
#include "console/menu_check.h"
#include "console/menu_loop.h"
#include "console/menu_trip.h"

int main(int argc, char* argv[]) {
  const CommandLine line = parseCommandLine(argc, argv);
  switch (line.request) {
    case Request::kMenu: return runMenuLoop();
    case Request::kMenuKeepingFiles: return runMenuLoop(true, line.console);
    case Request::kCheck: return runMenuCheck();
    case Request::kFetch: return runFetch(line.console);
    case Request::kSend: return runSend(line.console);
    default: return answerRequest(line);
  }
}
