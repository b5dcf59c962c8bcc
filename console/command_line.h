// The command line: no arguments for the menu as it always was, or one of
// the few options every console tool has.
#ifndef HALVANE_CONSOLE_COMMAND_LINE_H_
#define HALVANE_CONSOLE_COMMAND_LINE_H_

// What the command line asks for.
enum class Request {
  kMenu,              // no arguments: the menu, starting with empty lists
  kMenuKeepingFiles,  // --keep: the menu, starting with the files' entries
  kCheck,             // --check: the files' entries the console may not start
  kFetch,             // --fetch URL: the console's two menus brought here
  kSend,              // --send URL: the two menus here sent to the console
  kVersion,           // --version
  kHelp,              // --help
  kUsageError,        // anything else; nothing may be touched
};

// A command line as read: the request, and for a usage error the word that
// was not taken and why.
struct CommandLine {
  Request request = Request::kMenu;
  const char* complaint = "";  // "unknown option", say
  const char* word = "";
  const char* console = nullptr;  // the console's address: --fetch, --send, or --keep's --console
};

// Reads the arguments after the program's name. Exactly one known option
// (with its address where it takes one, and --keep with --console URL too),
// or none, is a request; every other command line is a usage error, so that
// a mistyped --keep never becomes a run that discards the menus.
CommandLine parseCommandLine(int argc, const char* const argv[]);

// Answers a request that is not a menu: the version or the help on standard
// output; for a usage error, the word not taken, the usage line and where
// help is, on standard error. Returns the exit status: 1 when the answer
// could not be written, which standard error then says.
int answerRequest(const CommandLine& line);

#endif  // HALVANE_CONSOLE_COMMAND_LINE_H_
