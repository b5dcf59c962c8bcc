#include "console/menu_loop.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>

#include "catalogue/menu_files.h"
#include "catalogue/program_scan.h"
#include "console/menu_check.h"
#include "console/menu_start.h"
#include "console/menu_trip.h"
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
    " f. Change App\n"
    " a. Add Games Found in a Folder\n";

// With --keep, after a command: the choices in one line.
constexpr std::string_view kChoices = "Choose 1-9, 0, m, n, e, f or a; Enter shows the menu\n";

constexpr std::string_view kFileCheckFailed = "File check failed\n";
constexpr std::string_view kNextSelection = "Next selection\n";
constexpr std::string_view kChangedElsewhere = " changed since it was read; 7 again replaces it\n";
constexpr std::string_view kCouldNotWrite = "Could not write ";

constexpr int kSuccess = 0;
constexpr int kNotSaved = 1;  // the last write failed, edits were dropped, or a menu file could not be read or kept

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

enum class Action { kAddDirectory, kAddTitle, kPrintList, kWriteFilesAndExit, kExit, kRemove, kMove, kChange, kAddFound };

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
    {'a', Action::kAddFound, &kGameTexts, "add", "added"},
};

// The command an answer at the menu chooses. Without --keep its first byte
// chooses ("7abc" is 7); with --keep the whole answer must be one of the
// choices, a letter in either case, and the editing commands are offered too.
const Command* findCommand(const Token& answer, bool keep_menus) {
  char chosen = answer.bytes[0];
  if (keep_menus && answer.size != 1) return nullptr;
  if (keep_menus && chosen >= 'A' && chosen <= 'Z') chosen = static_cast<char>(chosen - 'A' + 'a');
  for (const Command& command : kCommands)
    if (command.selection == chosen && (keep_menus || command.verb.empty())) return &command;
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

// The console, and how it answers: a word, or with --keep a whole line,
// each command then saying what it did.
struct Dialogue {
  ConsoleStream& console;
  bool keep;
  bool at_console;  // input is typed at a console
};

constexpr std::string_view kNothingChanged = "Nothing changed\n";

enum class Answer { kGiven, kEmpty, kEnded, kRefused };

// Says that an answer typed at a console held a character its code page
// cannot give, which the answer would have held as '?': with --keep on the
// console, otherwise on standard error.
void refuseUnheld(const Dialogue& dialogue, char32_t character) {
  char code[16];
  std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(character));
  ConsoleStream errors(kStandardInput, kStandardError);
  ConsoleStream& out = dialogue.keep ? dialogue.console : errors;
  writeTexts(out, {"Not taken: this console's code page has no ", code,
                   ", which would be stored as ?; type the answer without it\n"});
  flushOutput(errors);
}

// Prints the pieces of a prompt and reads the answer. An empty answer, which
// only a line can be, cancels the dialogue it was asked in; one holding a
// character the console could not give is refused, and so ends it.
Answer ask(const Dialogue& dialogue, std::initializer_list<std::string_view> prompt, Token& answer) {
  writeTexts(dialogue.console, prompt);
  if (!(dialogue.keep ? readLine : readToken)(dialogue.console, answer)) return Answer::kEnded;
  if (answer.unheld != 0) {
    refuseUnheld(dialogue, answer.unheld);
    return Answer::kRefused;
  }
  return answer.size == 0 ? Answer::kEmpty : Answer::kGiven;
}

// What became of a dialogue: input ended in it (a half-entered entry is then
// dropped), it changed nothing, or it changed a list.
enum class Outcome { kEnded, kUnchanged, kChanged };

// One "name==path" line.
void printEntry(ConsoleStream& console, const MenuEntry& line) {
  writeTexts(console, {line.name, "==", line.path, "\n"});
}

// Says what a command did to entry `index` of its list (moved there from
// `from`), with --keep: "Added game 3: Halo 2==e:\h\default.xbe",
// "Moved game 1 to 3: ...".
void confirm(const Dialogue& dialogue, std::string_view done, const ListTexts& texts, int index, int from = -1) {
  if (!dialogue.keep) return;
  writeTexts(dialogue.console, {done, " ", texts.noun, " "});
  if (from >= 0) {
    writeNumber(dialogue.console, static_cast<std::uint64_t>(from + 1));
    writeText(dialogue.console, " to ");
  }
  writeNumber(dialogue.console, static_cast<std::uint64_t>(index + 1));
  writeText(dialogue.console, ": ");
  printEntry(dialogue.console, entry(*texts.list, index));
}

// Without --keep, at a console: where an answer's line held more words than
// the question took, says once the entry is stored what went where and the
// way out, on standard error: "Stored Project==Gotham; 'Racing 2' goes on to
// the menu. An answer here is one word: for spaces, start halvane-menu
// --keep".
void hintAtMoreWords(const Dialogue& dialogue, bool line_held_more, const EntryList& list) {
  if (dialogue.keep || !dialogue.at_console) return;
  const std::string_view rest = restOfLine(dialogue.console);
  if (!line_held_more && rest.empty()) return;
  ConsoleStream errors(kStandardInput, kStandardError);
  const MenuEntry stored = entry(list, count(list) - 1);
  writeTexts(errors, {"Stored ", stored.name, "==", stored.path});
  if (!rest.empty()) writeTexts(errors, {"; '", rest, "' goes on to the menu"});
  writeTexts(errors, {". An answer here is one word: for spaces, ", kEditMenusCommand, "\n"});
  flushOutput(errors);
}

// At a console, once an entry is stored or changed, says what may keep it
// from starting on the console, in one line: with --keep after what the
// command did, otherwise on standard error.
void warnOfDoubts(const Dialogue& dialogue, const ListTexts& texts, int index) {
  if (!dialogue.at_console) return;
  const Doubts doubts = doubtsAbout(*texts.list, index);
  if (doubts.count == 0) return;
  ConsoleStream errors(kStandardInput, kStandardError);
  ConsoleStream& out = dialogue.keep ? dialogue.console : errors;
  writeText(out, "It may not start on the console: ");
  sayDoubts(out, doubts, texts.noun);
  writeText(out, "\n");
  flushOutput(errors);
}

// What an empty answer does: with --keep it cancels the command, and says so.
Outcome cancelled(const Dialogue& dialogue, Answer answer) {
  if (answer == Answer::kEnded) return Outcome::kEnded;
  if (answer == Answer::kRefused) return Outcome::kUnchanged;
  writeText(dialogue.console, kNothingChanged);
  return Outcome::kUnchanged;
}

// Asks for the name (single programs only) and the path, then adds the
// entry. With --keep the name is judged as soon as it is typed.
Outcome runAddDialogue(const Dialogue& dialogue, const Command& command) {
  const ListTexts& texts = *command.texts;
  Token name;
  Token path;
  const bool title = command.action == Action::kAddTitle;
  bool name_held_more = false;
  if (title) {
    if (const Answer answer = ask(dialogue, {texts.name_prompt}, name); answer != Answer::kGiven)
      return cancelled(dialogue, answer);
    name_held_more = lineHoldsMore(dialogue.console);
    if (const AddResult judged = judgeName(tokenText(name)); dialogue.keep && judged != AddResult::kAccepted) {
      writeText(dialogue.console, messageFor(judged));
      return Outcome::kUnchanged;
    }
  }
  if (const Answer answer = ask(dialogue, {title ? texts.path_prompt : texts.directory_prompt}, path);
      answer != Answer::kGiven)
    return cancelled(dialogue, answer);
  const AddResult result = title ? addTitleEntry(*texts.list, tokenText(name), tokenText(path))
                                 : addDirectoryEntry(*texts.list, tokenText(path));
  writeText(dialogue.console, messageFor(result));
  if (result != AddResult::kAccepted) return Outcome::kUnchanged;
  hintAtMoreWords(dialogue, name_held_more, *texts.list);
  confirm(dialogue, "Added", texts, count(*texts.list) - 1);
  warnOfDoubts(dialogue, texts, count(*texts.list) - 1);
  return Outcome::kChanged;
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

// Change: shows the entry as it is, then asks for a name (not for a
// directory entry, whose name stays) and a path by the rules of adding; an
// empty answer keeps that part, and the name is judged before the path is
// asked for. A refused answer leaves the entry as it was.
Outcome runChangeDialogue(const Dialogue& dialogue, const ListTexts& texts, int index) {
  EntryList& list = *texts.list;
  ConsoleStream& console = dialogue.console;
  const bool directory = isDirectoryEntry(list, index);
  // The parts as they are, copied: the entry's own slots are written over.
  Token name;
  Token path;
  const MenuEntry now = entry(list, index);
  name.size = now.name.copy(name.bytes, sizeof name.bytes);
  path.size = now.path.copy(path.bytes, sizeof path.bytes);
  writeTexts(console, {"Now: ", now.name, "==", now.path, "; Enter keeps each part as it is\n"});
  Token answer;
  bool kept = true;
  if (!directory) {
    const Answer given = ask(dialogue, {texts.name_prompt}, answer);
    if (given == Answer::kEnded || given == Answer::kRefused) return cancelled(dialogue, given);
    if (given == Answer::kGiven) {
      if (const AddResult judged = judgeName(tokenText(answer)); judged != AddResult::kAccepted) {
        writeText(console, messageFor(judged));
        return Outcome::kUnchanged;
      }
      name = answer;
      kept = false;
    }
  }
  const Answer given = ask(dialogue, {directory ? texts.directory_prompt : texts.path_prompt}, answer);
  if (given == Answer::kEnded || given == Answer::kRefused) return cancelled(dialogue, given);
  if (given == Answer::kGiven) {
    path = answer;
    kept = false;
  }
  if (kept) return cancelled(dialogue, Answer::kEmpty);
  const AddResult result = changeEntry(list, index, tokenText(name), tokenText(path));
  writeText(console, messageFor(result));
  if (result != AddResult::kAccepted) return Outcome::kUnchanged;
  confirm(dialogue, "Changed", texts, index);
  warnOfDoubts(dialogue, texts, index);
  return Outcome::kChanged;
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
    writeTexts(dialogue.console, {"No such entry, nothing ", command.done, "\n"});
    index = -1;
  }
  return given;
}

// The editing commands: the list numbered from 1, the number of the entry,
// then what the command needs, then the edit. A number not in the list says
// so and ends the dialogue. Nothing changes when input ends first.
Outcome runEditDialogue(const Dialogue& dialogue, const Command& command) {
  const ListTexts& texts = *command.texts;
  EntryList& list = *texts.list;
  ConsoleStream& console = dialogue.console;
  if (count(list) == 0) {
    writeTexts(console, {"No ", texts.noun, " to ", command.verb, "\n"});
    return Outcome::kUnchanged;
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
  const Answer answer = askIndex(dialogue, command, {"Enter number of ", texts.noun, " to ", command.verb, "\n"}, index);
  if (answer != Answer::kGiven) return cancelled(dialogue, answer);
  if (index < 0) return Outcome::kUnchanged;
  switch (command.action) {
    case Action::kRemove:
      confirm(dialogue, "Removed", texts, index);
      removeEntry(list, index);
      return Outcome::kChanged;
    case Action::kMove: {
      int place = -1;
      const Answer moved = askIndex(dialogue, command, {"Enter new number of ", texts.noun, "\n"}, place);
      if (moved != Answer::kGiven || place == index) return cancelled(dialogue, moved == Answer::kGiven ? Answer::kEmpty : moved);
      if (place < 0) return Outcome::kUnchanged;
      moveEntry(list, index, place);
      confirm(dialogue, "Moved", texts, place, index);
      return Outcome::kChanged;
    }
    default: return runChangeDialogue(dialogue, texts, index);
  }
}

// Says at a console how far a scan has come, on standard error, in place.
void showScanProgress(int done, int of) {
  ConsoleStream errors(kStandardInput, kStandardError);
  writeText(errors, "\rLooking in folder ");
  writeNumber(errors, static_cast<std::uint64_t>(done));
  writeText(errors, " of ");
  writeNumber(errors, static_cast<std::uint64_t>(of));
  if (done == of) writeText(errors, "\n");
  flushOutput(errors);
}

// Where the folder an answer names is, for a scan: on the console by its
// address ("ftp://xbox@192.168.1.20/E/Games", then "e:\Games\"), or here,
// then asked where it is on the console. False where that cannot be had,
// which is then said.
struct ScanPlace {
  ProgramSource source;
  char folder[1024] = "";
  char on_console[1100] = "";
};

bool placeOfScan(const Dialogue& dialogue, std::string_view where, ScanPlace& place) {
  ConsoleStream& console = dialogue.console;
  if (where.rfind("ftp://", 0) == 0) {
    ConsoleAddress address;
    int status = 0;
    char url[kFieldSize + 1];
    url[where.copy(url, kFieldSize)] = '\0';
    // The first folder is the drive (/E/Games is e:\Games\), judged before
    // the console is reached and a password asked for.
    const char* const folder = address.folder;
    if (readConsoleAddress(url, address) == nullptr &&
        (folder[0] != '/' || folder[1] == '\0' || (folder[2] != '/' && folder[2] != '\0'))) {
      writeTexts(console, {"The address names no drive, as in ftp://xbox@192.168.1.20/E/Games\n"});
      return false;
    }
    place.source.console = reachConsole(url, address, status);
    if (place.source.console == nullptr) return false;
    std::snprintf(place.folder, sizeof place.folder, "%s", folder);
    std::snprintf(place.on_console, sizeof place.on_console, "%c:%s\\",
                  static_cast<char>(folder[1] >= 'A' && folder[1] <= 'Z' ? folder[1] - 'A' + 'a' : folder[1]),
                  folder + 2);
    for (char* c = place.on_console; *c != '\0'; ++c)
      if (*c == '/') *c = '\\';
    return true;
  }
  place.folder[where.copy(place.folder, sizeof place.folder - 1)] = '\0';
  Token answer;
  const Answer given = ask(dialogue, {"Enter where that folder is on the console, example  e:\\games\\ \n"}, answer);
  if (given != Answer::kGiven) {
    cancelled(dialogue, given);
    return false;
  }
  const std::string_view on_console = tokenText(answer);
  std::snprintf(place.on_console, sizeof place.on_console, "%.*s%s", static_cast<int>(on_console.size()),
                on_console.data(), on_console.back() == '\\' ? "" : "\\");
  return true;
}

// a: every program found in a folder of program folders, numbered, and the
// ones chosen added to the game list by the rules of adding (Enter: every
// one whose path the list does not hold yet).
Outcome runFoundDialogue(const Dialogue& dialogue, const Command& command) {
  ConsoleStream& console = dialogue.console;
  const ListTexts& texts = *command.texts;
  Token answer;
  Answer given = ask(dialogue, {"Enter the folder that holds the games' folders: on the console, as\n"
                                "ftp://xbox@192.168.1.20/E/Games, or a copy of it here\n"}, answer);
  if (given != Answer::kGiven) return cancelled(dialogue, given);
  ScanPlace place;
  if (!placeOfScan(dialogue, tokenText(answer), place)) return Outcome::kUnchanged;
  static ScanResult found;
  scanForPrograms(place.source, place.folder, place.on_console, found, dialogue.at_console ? showScanProgress : nullptr);
  if (place.source.console != nullptr) ftpClose(place.source.console);
  if (!found.listed) {
    writeTexts(console, {"Could not look in ", place.folder, ": ", found.words, "\n"});
    return Outcome::kUnchanged;
  }
  writeText(console, found.skipped);
  if (found.count == 0) {
    writeTexts(console, {"No games found in ", place.folder, "\n"});
    return Outcome::kUnchanged;
  }
  for (int i = 0; i < found.count; ++i) {
    const FoundProgram& program = found.found[i];
    char number[8];
    std::snprintf(number, sizeof number, "%3d. ", i + 1);
    writeTexts(console, {number, program.name, "==", program.path});
    if (program.header.kind == XbeKind::kUnshownTitle) {
      char code[12];
      std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(program.header.unshown));
      writeTexts(console, {" (its title holds ", code, ", which the menu cannot show: named after its folder)"});
    }
    writeText(console, "\n");
  }
  given = ask(dialogue, {"Enter the numbers of the games to add, or Enter for every one not in the list yet\n"}, answer);
  if (given == Answer::kEnded || given == Answer::kRefused) return cancelled(dialogue, given);
  bool chosen[kMaxFound] = {};
  std::string_view numbers = tokenText(answer);
  for (int i = 0; i < found.count && given == Answer::kEmpty; ++i) {
    chosen[i] = true;
    for (int j = 0; j < count(gameList) && chosen[i]; ++j)
      chosen[i] = std::string_view(entry(gameList, j).path) != found.found[i].path;
  }
  while (!numbers.empty()) {
    const std::size_t end = std::min(numbers.find_first_of(" ,"), numbers.size());
    Token one;
    one.size = numbers.copy(one.bytes, std::min(end, sizeof one.bytes));
    const int index = entryNumber(one) - 1;
    if (end > 0 && (index < 0 || index >= found.count)) {
      writeTexts(console, {"No such entry, nothing ", command.done, "\n"});
      return Outcome::kUnchanged;
    }
    if (end > 0) chosen[index] = true;
    numbers.remove_prefix(std::min(end + 1, numbers.size()));
  }
  Outcome outcome = Outcome::kUnchanged;
  for (int i = 0; i < found.count; ++i) {
    if (!chosen[i]) continue;
    const AddResult added = addTitleEntry(gameList, found.found[i].name, found.found[i].path);
    writeText(console, messageFor(added));
    if (added != AddResult::kAccepted) continue;
    confirm(dialogue, "Added", texts, count(gameList) - 1);
    warnOfDoubts(dialogue, texts, count(gameList) - 1);
    outcome = Outcome::kChanged;
  }
  if (outcome == Outcome::kUnchanged) writeText(console, kNothingChanged);
  return outcome;
}

// Prints `header`, then one "name==path" line per entry of `list`.
void printEntryList(ConsoleStream& console, std::string_view header, const EntryList& list) {
  writeText(console, header);
  for (int i = 0; i < count(list); ++i) printEntry(console, entry(list, i));
}

// "1 game", "2 apps": `n` of `noun`.
void sayNumber(ConsoleStream& out, int n, std::string_view noun) {
  writeNumber(out, static_cast<std::uint64_t>(n));
  writeTexts(out, {" ", noun, n == 1 ? "" : "s"});
}

// "2 games", "1 game and 1 folder": how many entries a file was written
// with, its directory entries counted as folders where it has any.
void sayCount(ConsoleStream& out, const EntryList& list, std::string_view noun) {
  int folders = 0;
  for (int i = 0; i < count(list); ++i) folders += isDirectoryEntry(list, i) ? 1 : 0;
  sayNumber(out, count(list) - folders, noun);
  if (folders == 0) return;
  writeTexts(out, {" and "});
  sayNumber(out, folders, "folder");
}

// The files in the order they are written, with the nouns of their lists.
const struct {
  const char* path;
  const EntryList& list;
  std::string_view noun;
} kWritten[] = {{kAppMenuPath, appList, "app"}, {kGameMenuPath, gameList, "game"}};

// Says what a save wrote and where the old menus are kept:
// "Wrote 2 games to ./hvn/ini/games.ini and 1 app to ./hvn/ini/apps.ini
// (the old menus are in games.ini.bak and apps.ini.bak)".
void sayWritten(ConsoleStream& out, const FilesWrite& written) {
  // The game menu first, as the menu names it first.
  for (const int i : {1, 0}) {
    writeTexts(out, {i == 1 ? "Wrote " : " and "});
    sayCount(out, kWritten[i].list, kWritten[i].noun);
    writeTexts(out, {" to ", kWritten[i].path});
  }
  sayBackups(out, written.backed_up);
  writeText(out, "\n");
}

// Names the file that could not be written, the system's reason and what
// became of the other: "Could not write ./hvn/ini/games.ini: Permission
// denied; nothing was written".
void sayNotWritten(ConsoleStream& console, const FilesWrite& result) {
  writeTexts(console, {kCouldNotWrite, result.words});
  if (result.copy_left[0] != '\0') writeTexts(console, {"; its copy ", result.copy_left, " could not be removed"});
  if (result.mixed) {
    writeTexts(console, {"; it now holds neither its old menu nor the new one"});
  } else if (result.written == 0) {
    writeTexts(console, {"; nothing was written"});
    if (result.backup_failed) writeTexts(console, {", and 7 again writes without a backup"});
  } else if (result.written <= result.failed) {
    writeTexts(console, {"; ", kWritten[0].path, " was written"});
    if (result.backup_kept[0] != '\0')
      writeTexts(console, {"; the old ", kWritten[result.failed].noun, " menu is also kept in ", result.backup_kept});
  }
  writeTexts(console, {"\n"});
}

// Names each file changed elsewhere since the session last knew it, which
// 7 again replaces unless it changes again, each file that cannot be read
// now, with why, and each that another program holds. True when there was
// none.
bool unchangedElsewhere(ConsoleStream& console, WatchedMenuFile (&files)[2]) {
  bool unchanged = true;
  for (WatchedMenuFile& file : files) {
    char words[kWordsSize];
    switch (lookAgain(file, words)) {
      case Elsewhere::kUnchanged: continue;
      case Elsewhere::kChanged: writeTexts(console, {file.path, kChangedElsewhere}); break;
      case Elsewhere::kUnreadable:
        writeTexts(console, {file.path, " cannot be read now: ", words, "; 7 again writes it\n"});
        break;
      case Elsewhere::kHeld:
        writeTexts(console, {file.path, " is in use by another program; close it, then choose 7 again\n"});
        break;
    }
    unchanged = false;
  }
  return unchanged;
}

// Where a session stands: with --keep, the files it watches and whether the
// lists hold edits not yet written; whether a save keeps a backup of each
// file (in the order written); whether the last save failed.
struct Session {
  ConsoleStream& console;
  bool keep_menus;
  bool at_console = false;  // without --keep, at a console: 7 and 8 ask once before they lose entries
  WatchedMenuFile watched[2];
  bool backup[2] = {true, true};
  bool edited = false;        // with --keep: a change not yet written
  bool warned = false;        // with --keep or at_console: 8 has said so since
  bool replace_told = false;  // at_console: 7 has said which entries it replaces
  bool write_failed = false;
};

// Writes both menu files; true when both were written, which is then said
// (with --keep on the console; otherwise on standard error at a console).
// A failure is said, and the session goes on with every entry, so the user
// can mend the cause and write again. Once a backup could not be made and
// the user was told so, that file is written without one.
bool writeFiles(Session& session) {
  ConsoleStream& console = session.console;
  if (session.keep_menus && !unchangedElsewhere(console, session.watched)) return false;
  // With --keep, what the watch last saw is what a backup must find.
  const MenuFileStamp* const last_seen[2] = {session.keep_menus ? &session.watched[1].stamp : nullptr,
                                             session.keep_menus ? &session.watched[0].stamp : nullptr};
  const FilesWrite result = writeMenuFiles(appList, gameList, session.backup, last_seen);
  if (result.failed < 0) {
    if (session.keep_menus) {
      sayWritten(console, result);
    } else if (isConsole(console.input_fd)) {
      ConsoleStream errors(kStandardInput, kStandardError);
      sayWritten(errors, result);
      flushOutput(errors);
    }
    return true;
  }
  if (result.changed) {
    writeTexts(console, {session.watched[result.failed == 0 ? 1 : 0].path, kChangedElsewhere});
  } else {
    sayNotWritten(console, result);
  }
  // Only a save that said so ("7 again writes without a backup") writes
  // without one, and only the file whose backup could not be made.
  if (result.backup_failed && result.written == 0) session.backup[result.failed] = false;
  // What the files hold now is what the session knows of them: a file this
  // save wrote, or left as it was.
  if (session.keep_menus)
    for (WatchedMenuFile& file : session.watched) lookAfterFailedSave(file);
  session.write_failed = true;
  return false;
}

// What the menu files hold now, each read into a list of its own: the
// entries 7 would replace. A file that cannot be read holds none.
EntryList held_games, held_apps;
void readWhatTheFilesHold() {
  for (EntryList* held : {&held_games, &held_apps}) {
    held->count = 0;
    readMenuFile(held == &held_games ? kGameMenuPath : kAppMenuPath, *held);
  }
}

// How many entries of `before` `after` does not hold, name and path alike.
int dropped(const EntryList& before, const EntryList& after) {
  int lost = 0;
  for (int i = 0; i < count(before); ++i) {
    bool kept = false;
    for (int j = 0; j < count(after) && !kept; ++j)
      kept = std::string_view(entry(before, i).name) == entry(after, j).name &&
             std::string_view(entry(before, i).path) == entry(after, j).path;
    lost += kept ? 0 : 1;
  }
  return lost;
}

// At a console with --keep, the start says what was kept, and names a file
// that 7 could not replace, before any edit is typed.
void sayWhatWasKept(ConsoleStream& console) {
  writeTexts(console, {"Kept "});
  sayCount(console, gameList, "game");
  writeTexts(console, {" in games.ini, "});
  sayCount(console, appList, "app");
  writeTexts(console, {" in apps.ini\n"});
  if (const int doubtful = doubtfulEntries(gameList) + doubtfulEntries(appList); doubtful > 0)
    sayDoubtfulCount(console, doubtful);
  for (const char* path : {kGameMenuPath, kAppMenuPath}) {
    char words[kWordsSize];
    if (const std::string_view why = whyNotReplaceable(path, words); !why.empty())
      writeTexts(console, {path, " cannot be replaced: ", why, "; mend that before 7\n", kReadOnlyMend});
  }
}

// At a console without --keep, the start says what the files hold, what 7
// does to them, and how to edit them instead.
void sayWhatTheFilesHold() {
  ConsoleStream errors(kStandardInput, kStandardError);
  writeTexts(errors, {"games.ini holds "});
  sayCount(errors, held_games, "game");
  writeTexts(errors, {", apps.ini "});
  sayCount(errors, held_apps, "app");
  writeTexts(errors, {"; 7 replaces them with what you type here. To edit them, ", kEditMenusCommand, "\n"});
  flushOutput(errors);
}

// At a console without --keep, a 7 that would drop entries the files hold
// says so once, and 7 again writes ("7 replaces 7 games ... with 1
// game and 0 apps; 7 again to do so", with the files' counts named by file).
// True when it said so.
bool toldWhat7Replaces(Session& session) {
  if (!session.at_console || session.replace_told) return false;
  readWhatTheFilesHold();
  const int lost = dropped(held_games, gameList) + dropped(held_apps, appList);
  if (lost == 0) return false;
  session.replace_told = true;
  ConsoleStream errors(kStandardInput, kStandardError);
  writeTexts(errors, {"7 replaces "});
  sayCount(errors, held_games, "game");
  writeTexts(errors, {" in games.ini and "});
  sayCount(errors, held_apps, "app");
  writeTexts(errors, {" in apps.ini with "});
  sayCount(errors, gameList, "game");
  writeTexts(errors, {" and "});
  sayCount(errors, appList, "app");
  writeTexts(errors, {"; 7 again to do so\n"});
  flushOutput(errors);
  return true;
}

// How a session ends once input has: with --keep, edits not written are said
// to be lost on standard error.
int endOfInput(const Session& session) {
  if (!(session.keep_menus || session.at_console) || !session.edited)
    return session.write_failed ? kNotSaved : kSuccess;
  ConsoleStream errors(kStandardInput, kStandardError);
  writeTexts(errors, {"Input ended before 7; changes not written\n"});
  flushOutput(errors);
  return kNotSaved;
}

}  // namespace

// The end of input ends the session at once wherever it is met, since every
// further read would find nothing and the menu would repeat for ever. The
// status says whether the session ended with its entries unsaved after a
// failed write, or with edits not written.
int runMenuSession(ConsoleStream& console, bool keep_menus, const char* console_url) {
  if (console_url != nullptr && fetchForSession(console, console_url) != kTripDone) {
    holdClosingConsole(console);
    return kNotSaved;
  }
  char words[kWordsSize];
  std::string_view why;
  if (const char* const unreadable = firstUnreadableMenuFile(why, words)) {
    writeText(console, kFileCheckFailed);
    flushOutput(console);
    reportFailedCheck(console, unreadable, why, true);
    if (!callerPauses(console)) skipOneByte(console);
    return kNotSaved;
  }
  const bool typed_at_console = isConsole(console.input_fd);
  Session session{console, keep_menus, !keep_menus && typed_at_console,
                  {{kGameMenuPath, gameList, {}}, {kAppMenuPath, appList, {}}}};
  if (keep_menus && !keepMenuFiles(session.watched)) {
    holdClosingConsole(console);
    return kNotSaved;
  }
  if (keep_menus && typed_at_console) sayWhatWasKept(console);
  if (session.at_console) {
    readWhatTheFilesHold();
    if (count(held_games) > 0 || count(held_apps) > 0) sayWhatTheFilesHold();
  }
  // With --keep every answer is a line, so that names and paths may hold
  // spaces; without it a word, as it always was.
  const Dialogue dialogue{console, keep_menus, typed_at_console};
  // With --keep the whole menu is shown at the start and on request (an
  // empty line); after a command a short line names the choices, so that
  // what the command showed stays on the screen.
  bool show_menu = true;
  for (Token selection;;) {
    if (!keep_menus || show_menu) {
      writeText(console, kMenu);
      if (keep_menus) writeText(console, kEditingMenu);
      show_menu = false;
    } else {
      writeText(console, kChoices);
    }
    const Answer answer = ask(dialogue, {}, selection);
    if (answer == Answer::kEnded) return endOfInput(session);
    if (answer == Answer::kRefused) continue;
    if (answer == Answer::kEmpty) {
      show_menu = true;
      continue;
    }
    const Command* const command = findCommand(selection, keep_menus);
    if (command == nullptr) {
      if (keep_menus) {
        writeTexts(console, {"No such choice: ", tokenText(selection), "\n"});
      } else {
        writeText(console, kNextSelection);
      }
      continue;
    }
    Outcome outcome = Outcome::kUnchanged;
    switch (command->action) {
      case Action::kAddDirectory:
      case Action::kAddTitle: outcome = runAddDialogue(dialogue, *command); break;
      case Action::kRemove:
      case Action::kMove:
      case Action::kChange: outcome = runEditDialogue(dialogue, *command); break;
      case Action::kAddFound: outcome = runFoundDialogue(dialogue, *command); break;
      case Action::kPrintList:
        printEntryList(console, command->texts->header, *command->texts->list);
        break;
      case Action::kWriteFilesAndExit:
        if (toldWhat7Replaces(session) || !writeFiles(session)) break;
        // With --keep at a console, what the files still hold that may
        // not start.
        if (keep_menus && typed_at_console)
          if (const int doubtful = doubtfulEntries(gameList) + doubtfulEntries(appList); doubtful > 0)
            sayDoubtfulCount(console, doubtful);
        {
          const int sent = console_url != nullptr ? sendAfterSave(console, console_url) : kTripDone;
          holdClosingConsole(console);
          return sent == kTripDone ? kSuccess : kNotSaved;
        }
      case Action::kExit:
        // With --keep, and at a console, edits not written are said to be
        // lost first (at a console without --keep, on standard error).
        if ((keep_menus || session.at_console) && session.edited && !session.warned) {
          ConsoleStream errors(kStandardInput, kStandardError);
          ConsoleStream& told = keep_menus ? console : errors;
          writeText(told, "Changes not written; 8 again ends without writing\n");
          flushOutput(told);
          session.warned = true;
          break;
        }
        return session.write_failed ? kNotSaved : kSuccess;
    }
    if (outcome == Outcome::kEnded) return endOfInput(session);
    if (outcome == Outcome::kChanged) session.edited = true, session.warned = false;
  }
}

int runMenuLoop(bool keep_menus, const char* console_url) {
  prepareConsoleStreams();
  ConsoleStream console;
  const int status = runMenuSession(console, keep_menus, console_url);
  flushOutput(console);
  return status;
}
