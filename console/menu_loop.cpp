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
// With --keep the menus on disk can also be edited.
constexpr std::string_view kEditingMenu =
    " 9. Remove Game\n"
    " 0. Remove App\n"
    " m. Move Game\n"
    " n. Move App\n"
    " e. Change Game\n"
    " f. Change App\n";

constexpr std::string_view kFileCheckFailed = "File check failed\n";
constexpr std::string_view kNextSelection = "Next selection\n";
constexpr std::string_view kCouldNotWrite = "Could not write ";

constexpr int kSuccess = 0;
constexpr int kNotSaved = 1;  // the last write failed, or a menu file could not be kept

// What the dialogues of one list say.
struct ListTexts {
  EntryList* list;
  std::string_view noun;               // in "Enter number of game to remove"
  std::string_view name_prompt;        // single programs
  std::string_view path_prompt;        // single programs
  std::string_view directory_prompt;   // directory entries
  std::string_view header;             // listings
};

const ListTexts kGameTexts = {&gameList, "game", "Enter Name of game\n",
                              "Enter pull path to games, example  e:\\testdrive\\default.xbe \n",
                              "Enter pull path to directory, example  e:\\games\\ or f:\\games\\ \n", "Print Games \n"};
const ListTexts kAppTexts = {&appList, "App", "Enter Name of App\n",
                             "Enter pull path to app, example  e:\\dirwalker\\default.xbe \n",
                             "Enter pull path to directory, example  e:\\apps\\ or f:\\apps\\ \n", "Print Apps \n"};

enum class Action { kAddDirectory, kAddTitle, kPrintList, kWriteFilesAndExit, kExit, kRemove, kMove, kChange };

// One row per menu selection. The editing rows name what they do, as in
// "Enter number of game to move" and "No such entry, nothing moved".
struct Command {
  char selection;
  Action action;
  const ListTexts* texts;  // none for 7 and 8
  std::string_view verb;   // editing: "remove", "move", "change"
  std::string_view done;   // editing: "removed", "moved", "changed"
};

const Command kCommands[] = {
    {'1', Action::kAddDirectory, &kGameTexts, {}, {}},
    {'2', Action::kAddDirectory, &kAppTexts, {}, {}},
    {'3', Action::kAddTitle, &kGameTexts, {}, {}},
    {'4', Action::kAddTitle, &kAppTexts, {}, {}},
    {'5', Action::kPrintList, &kGameTexts, {}, {}},
    {'6', Action::kPrintList, &kAppTexts, {}, {}},
    {'7', Action::kWriteFilesAndExit, nullptr, {}, {}},
    {'8', Action::kExit, nullptr, {}, {}},
    {'9', Action::kRemove, &kGameTexts, "remove", "removed"},
    {'0', Action::kRemove, &kAppTexts, "remove", "removed"},
    {'m', Action::kMove, &kGameTexts, "move", "moved"},
    {'n', Action::kMove, &kAppTexts, "move", "moved"},
    {'e', Action::kChange, &kGameTexts, "change", "changed"},
    {'f', Action::kChange, &kAppTexts, "change", "changed"},
};

// The editing commands are offered with --keep alone.
const Command* findCommand(char selection, bool keep_menus) {
  for (const Command& command : kCommands)
    if (command.selection == selection && (keep_menus || command.verb.empty())) return &command;
  return nullptr;
}

std::string_view messageFor(AddResult result) {
  switch (result) {
    case AddResult::kAccepted: return {};
    case AddResult::kRejected: return "Bad directory path\n";
    case AddResult::kListFull: return "List is full\n";
    case AddResult::kTooLong: return "Name or path too long\n";
    case AddResult::kBadName: return "Name may not hold == or end in =\n";
    case AddResult::kMarkedName: return "Name may not start with a byte-order mark\n";
  }
  return {};
}

// The console, and how it answers: a word, or with --keep a whole line.
struct Dialogue {
  ConsoleStream& console;
  bool lines;
};

enum class Answer { kGiven, kEmpty, kEnded };

// Prints the pieces of a prompt and reads the answer. An empty answer, which
// only a line can be, cancels the dialogue it was asked in.
Answer ask(const Dialogue& dialogue, std::initializer_list<std::string_view> prompt, Token& answer) {
  for (const std::string_view piece : prompt) writeText(dialogue.console, piece);
  if (!(dialogue.lines ? readLine : readToken)(dialogue.console, answer)) return Answer::kEnded;
  return answer.size == 0 ? Answer::kEmpty : Answer::kGiven;
}

// Asks for the name (single programs only) and the path, then adds the entry.
// Returns false when input ended first; the half-entered entry is dropped.
bool runAddDialogue(const Dialogue& dialogue, const Command& command) {
  const ListTexts& texts = *command.texts;
  Token name;
  Token path;
  Answer answer = Answer::kGiven;
  if (command.action == Action::kAddTitle) answer = ask(dialogue, {texts.name_prompt}, name);
  if (answer == Answer::kGiven)
    answer = ask(dialogue, {command.action == Action::kAddTitle ? texts.path_prompt : texts.directory_prompt}, path);
  if (answer != Answer::kGiven) return answer == Answer::kEmpty;
  const AddResult result = command.action == Action::kAddTitle
                               ? addTitleEntry(*texts.list, tokenText(name), tokenText(path))
                               : addDirectoryEntry(*texts.list, tokenText(path));
  writeText(dialogue.console, messageFor(result));
  return true;
}

// The number `token` spells in decimal digits, or 0 when it spells none (a
// token cut short by the reader is too long to be one).
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

// Asks for the number of an entry of the command's list and gives its index,
// or -1 for an answer that is no such number, which is then said to have
// done nothing.
Answer askIndex(const Dialogue& dialogue, const Command& command, std::initializer_list<std::string_view> prompt,
                int& index) {
  Token answer;
  const Answer given = ask(dialogue, prompt, answer);
  index = entryNumber(answer) - 1;
  if (given == Answer::kGiven && (index < 0 || index >= count(*command.texts->list))) {
    for (const std::string_view piece : {std::string_view("No such entry, nothing "), command.done, std::string_view("\n")})
      writeText(dialogue.console, piece);
    index = -1;
  }
  return given;
}

// The editing commands: the list numbered from 1, the number of the entry,
// then what the command needs, then the edit. A number not in the list says
// so and ends the dialogue. Returns false when input ended first; nothing
// changes then.
bool runEditDialogue(const Dialogue& dialogue, const Command& command) {
  const ListTexts& texts = *command.texts;
  EntryList& list = *texts.list;
  ConsoleStream& console = dialogue.console;
  if (count(list) == 0) {
    for (const std::string_view piece :
         {std::string_view("No "), texts.noun, std::string_view(" to "), command.verb, std::string_view("\n")})
      writeText(console, piece);
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
  int index = -1;
  Answer answer = askIndex(dialogue, command, {"Enter number of ", texts.noun, " to ", command.verb, "\n"}, index);
  if (answer != Answer::kGiven || index < 0) return answer != Answer::kEnded;
  switch (command.action) {
    case Action::kRemove: removeEntry(list, index); break;
    case Action::kMove: {
      int place = -1;
      answer = askIndex(dialogue, command, {"Enter new number of ", texts.noun, "\n"}, place);
      if (answer == Answer::kGiven && place >= 0) moveEntry(list, index, place);
      break;
    }
    default: {
      Token name;
      Token path;
      const bool directory = isDirectoryEntry(list, index);
      if (!directory) answer = ask(dialogue, {texts.name_prompt}, name);
      if (answer == Answer::kGiven)
        answer = ask(dialogue, {directory ? texts.directory_prompt : texts.path_prompt}, path);
      if (answer == Answer::kGiven)
        writeText(console, messageFor(changeEntry(list, index, tokenText(name), tokenText(path))));
      break;
    }
  }
  return answer != Answer::kEnded;
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

// The menu files as --keep found them, game menu first, and what each was
// when read, so that a change made elsewhere since is seen.
struct KeptFile {
  const char* path;
  EntryList& list;
  MenuFileStamp stamp;
};

// Reads the game menu and then the app menu into their lists. The first line
// that cannot be kept is reported, and nothing else is done.
bool keepMenuFiles(KeptFile (&files)[2]) {
  for (KeptFile& file : files) {
    const MenuFileRead read = readMenuFile(file.path, file.list, &file.stamp);
    if (read.reason.empty()) continue;
    reportUnkeptLine(file.path, read);
    return false;
  }
  return true;
}

// Names each kept file that is no longer what was read (other bytes, or
// another file at its place). True when there was none.
bool unchangedElsewhere(ConsoleStream& console, const KeptFile (&files)[2]) {
  bool unchanged = true;
  for (const KeptFile& file : files) {
    if (unchangedSince(file.path, file.stamp)) continue;
    for (const std::string_view piece :
         {std::string_view(file.path), std::string_view(" changed since it was read; 7 again replaces it\n")})
      writeText(console, piece);
    unchanged = false;
  }
  return unchanged;
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
  KeptFile kept[] = {{kGameMenuPath, gameList, {}}, {kAppMenuPath, appList, {}}};
  if (keep_menus && !keepMenuFiles(kept)) {
    holdClosingConsole(console);
    return kNotSaved;
  }
  // With --keep every answer is a line, so that names and paths may hold
  // spaces; without it a word, as it always was.
  const Dialogue dialogue{console, keep_menus};
  // Before the first save, a kept file changed elsewhere is not overwritten
  // unasked; once that has been said, or a save has been tried (and may have
  // changed a file itself), 7 writes.
  bool check_elsewhere = keep_menus;
  bool unsaved = false;
  const auto leave = [&] { return unsaved ? kNotSaved : kSuccess; };
  for (Token selection;;) {
    writeText(console, kMenu);
    if (keep_menus) writeText(console, kEditingMenu);
    // An empty line at the menu changes nothing: the menu waits on.
    Answer answer;
    while ((answer = ask(dialogue, {}, selection)) == Answer::kEmpty) {
    }
    if (answer == Answer::kEnded) return leave();
    char chosen = selection.bytes[0];
    if (keep_menus && chosen >= 'A' && chosen <= 'Z') chosen = static_cast<char>(chosen - 'A' + 'a');
    const Command* const command = findCommand(chosen, keep_menus);
    if (command == nullptr) {
      writeText(console, kNextSelection);
      continue;
    }
    switch (command->action) {
      case Action::kAddDirectory:
      case Action::kAddTitle:
        if (!runAddDialogue(dialogue, *command)) return leave();
        break;
      case Action::kRemove:
      case Action::kMove:
      case Action::kChange:
        if (!runEditDialogue(dialogue, *command)) return leave();
        break;
      case Action::kPrintList:
        printEntryList(console, command->texts->header, *command->texts->list);
        break;
      case Action::kWriteFilesAndExit:
        if (check_elsewhere) {
          check_elsewhere = false;
          if (!unchangedElsewhere(console, kept)) break;
        }
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
