#include "console/menu_loop.h"

#include <charconv>

#include "catalogue/menu_files.h"
#include "console/token_reader.h"

namespace {

constexpr std::string_view kMenu =
    "\n     Halvane menu creator " HVN_VERSION "\n\n\n"
    " 1. Add Game Directory\n"
    " 2. Add App Directory\n"
    " 3. Add Game\n"
    " 4. Add App\n"
    " 5. Print Games list\n"
    " 6. Print App list\n"
    " 7. Write Files & Exit\n"
    " 8. Exit\n";
// With --keep the menus on disk can also be trimmed.
constexpr std::string_view kRemovalMenu =
    " 9. Remove Game\n"
    " 0. Remove App\n";

constexpr std::string_view kFileCheckFailed = "File check failed\n";
constexpr std::string_view kNextSelection = "Next selection\n";
constexpr std::string_view kCouldNotWrite = "Could not write ";

constexpr int kSuccess = 0;
constexpr int kNotSaved = 1;  // the last write failed, or a menu file could not be kept

enum class Action { kAddDirectory, kAddTitle, kPrintList, kWriteFilesAndExit, kExit, kRemove };

// One row per menu selection. Only the fields an action uses are set.
struct Command {
  char selection;
  Action action;
  EntryList* list;
  std::string_view name_prompt;  // single-program dialogue
  std::string_view path_prompt;  // both add dialogues; the number, for removals
  std::string_view header;       // listings; for removals, what an empty list says
  bool keep_only = false;        // offered only with --keep
};

const Command kCommands[] = {
    {'1', Action::kAddDirectory, &gameList, {},
     "Enter pull path to directory, example  e:\\games\\ or f:\\games\\ \n", {}},
    {'2', Action::kAddDirectory, &appList, {},
     "Enter pull path to directory, example  e:\\apps\\ or f:\\apps\\ \n", {}},
    {'3', Action::kAddTitle, &gameList, "Enter Name of game\n",
     "Enter pull path to games, example  e:\\testdrive\\default.xbe \n", {}},
    {'4', Action::kAddTitle, &appList, "Enter Name of App\n",
     "Enter pull path to app, example  e:\\dirwalker\\default.xbe \n", {}},
    {'5', Action::kPrintList, &gameList, {}, {}, "Print Games \n"},
    {'6', Action::kPrintList, &appList, {}, {}, "Print Apps \n"},
    {'7', Action::kWriteFilesAndExit, nullptr, {}, {}, {}},
    {'8', Action::kExit, nullptr, {}, {}, {}},
    {'9', Action::kRemove, &gameList, {}, "Enter number of game to remove\n", "No game to remove\n", true},
    {'0', Action::kRemove, &appList, {}, "Enter number of App to remove\n", "No App to remove\n", true},
};

constexpr std::string_view kNothingRemoved = "No such entry, nothing removed\n";

const Command* findCommand(char selection, bool keep_menus) {
  for (const Command& command : kCommands)
    if (command.selection == selection && (keep_menus || !command.keep_only)) return &command;
  return nullptr;
}

std::string_view messageFor(AddResult result) {
  switch (result) {
    case AddResult::kAccepted: return {};
    case AddResult::kRejected: return "Bad directory path\n";
    case AddResult::kListFull: return "List is full\n";
    case AddResult::kTooLong: return "Name or path too long\n";
    case AddResult::kBadName: return "Name may not hold == or end in =\n";
  }
  return {};
}

// Asks for the name (single programs only) and the path, then adds the entry.
// Returns false when input ended first; the half-entered entry is dropped.
bool runAddDialogue(ConsoleStream& console, const Command& command) {
  Token name;
  Token path;
  if (command.action == Action::kAddTitle) {
    writeText(console, command.name_prompt);
    if (!readToken(console, name)) return false;
  }
  writeText(console, command.path_prompt);
  if (!readToken(console, path)) return false;
  const AddResult result =
      command.action == Action::kAddTitle
          ? addTitleEntry(*command.list, tokenText(name), tokenText(path))
          : addDirectoryEntry(*command.list, tokenText(path));
  writeText(console, messageFor(result));
  return true;
}

// The number `token` spells in decimal digits, or 0 when it spells none (a
// token cut short by the reader is too long to be one). Whether the list has
// such an entry is removeEntry's to judge.
int entryNumber(const Token& token) {
  const std::string_view text = tokenText(token);
  if (text.size() >= sizeof token.bytes) return 0;
  for (const char c : text)
    if (c < '0' || c > '9') return 0;
  int number = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  return error == std::errc() && end == text.data() + text.size() ? number : 0;
}

// One "name==path" line.
void printEntry(ConsoleStream& console, const MenuEntry& line) {
  writeText(console, line.name);
  writeText(console, "==");
  writeText(console, line.path);
  writeText(console, "\n");
}

// Shows the list numbered from 1, asks for a number and removes that entry.
// Returns false when input ended first; nothing is removed then.
bool runRemoveDialogue(ConsoleStream& console, const Command& command) {
  const EntryList& list = *command.list;
  if (count(list) == 0) {
    writeText(console, command.header);
    return true;
  }
  for (int i = 0; i < count(list); ++i) {
    // Numbers right-aligned in three places: a list holds at most 255.
    char digits[3];
    const auto size = static_cast<std::size_t>(std::to_chars(digits, digits + sizeof digits, i + 1).ptr - digits);
    writeText(console, std::string_view("   ", sizeof digits - size));
    writeText(console, std::string_view(digits, size));
    writeText(console, ". ");
    printEntry(console, entry(list, i));
  }
  writeText(console, command.path_prompt);
  Token answer;
  if (!readToken(console, answer)) return false;
  if (!removeEntry(*command.list, entryNumber(answer) - 1)) writeText(console, kNothingRemoved);
  return true;
}

// Writes both menu files; true when both were written. A file that could not
// be written is named with the system's reason, and the session goes on with
// every entry, so the user can mend the cause and write again.
bool writeFiles(ConsoleStream& console) {
  const MenuWriteFailure failed = writeMenuFiles(appList, gameList);
  if (failed.location.empty()) return true;
  char words[256];
  for (const std::string_view piece :
       {kCouldNotWrite, failed.location, std::string_view(": "), describeSystemError(failed.write.error, words)})
    writeText(console, piece);
  if (failed.write.copy_left[0] != '\0') {
    writeText(console, "; its copy ");
    writeText(console, failed.write.copy_left);
    writeText(console, " could not be removed");
  }
  writeText(console, "\n");
  return false;
}

// Says on standard error which line of the menu file at `path` cannot be kept.
void reportUnkeptLine(const char* path, const MenuFileRead& read) {
  char line[20];
  const char* const line_end = std::to_chars(line, line + sizeof line, read.line).ptr;
  ConsoleStream errors(kStandardInput, kStandardError);
  for (const std::string_view piece :
       {std::string_view("Cannot keep "), std::string_view(path), std::string_view(": line "),
        std::string_view(line, static_cast<std::size_t>(line_end - line)), std::string_view(": "),
        read.reason, std::string_view("\n")})
    writeText(errors, piece);
  flushOutput(errors);
}

// Reads the game menu and then the app menu into their lists. The first line
// that cannot be kept is reported, and nothing else is done.
bool keepMenuFiles() {
  const struct {
    const char* path;
    EntryList& list;
  } files[] = {{kGameMenuPath, gameList}, {kAppMenuPath, appList}};
  for (const auto& file : files) {
    const MenuFileRead read = readMenuFile(file.path, file.list);
    if (read.reason.empty()) continue;
    reportUnkeptLine(file.path, read);
    return false;
  }
  return true;
}

}  // namespace

// The end of input ends the session at once wherever it is met, since every
// further read would find nothing and the menu would repeat for ever. The
// status says whether the session ended with its entries unsaved after a
// failed write.
int runMenuSession(ConsoleStream& console, bool keep_menus) {
  if (!checkMenuFile(kGameMenuPath) || !checkMenuFile(kAppMenuPath)) {
    writeText(console, kFileCheckFailed);
    skipOneByte(console);
    return kSuccess;
  }
  if (keep_menus && !keepMenuFiles()) {
    holdClosingConsole(console);
    return kNotSaved;
  }
  bool unsaved = false;
  const auto leave = [&] { return unsaved ? kNotSaved : kSuccess; };
  for (Token selection;;) {
    writeText(console, kMenu);
    if (keep_menus) writeText(console, kRemovalMenu);
    if (!readToken(console, selection)) return leave();
    const Command* const command = findCommand(selection.bytes[0], keep_menus);
    if (command == nullptr) {
      writeText(console, kNextSelection);
      continue;
    }
    switch (command->action) {
      case Action::kAddDirectory:
      case Action::kAddTitle:
        if (!runAddDialogue(console, *command)) return leave();
        break;
      case Action::kRemove:
        if (!runRemoveDialogue(console, *command)) return leave();
        break;
      case Action::kPrintList:
        printEntryList(console, command->header, *command->list);
        break;
      case Action::kWriteFilesAndExit:
        if (writeFiles(console)) return kSuccess;
        unsaved = true;
        break;
      case Action::kExit:
        return leave();
    }
  }
}

int runMenuLoop(bool keep_menus) {
  prepareConsoleStreams();
  ConsoleStream console;
  const int status = runMenuSession(console, keep_menus);
  flushOutput(console);
  return status;
}

void printEntryList(ConsoleStream& console, std::string_view header,
                    const EntryList& list) {
  writeText(console, header);
  for (int i = 0; i < count(list); ++i) printEntry(console, entry(list, i));
}
