#include <optional>
#include <string_view>

#include "tests/session_support.h"

namespace {

// At a console: the program in a pseudo-terminal, typed at key by key as a
// person would (under Wine, a real Windows console: Wine's console host in
// Unix-terminal mode). Each row types its keys in steps; before the next step
// the screen must end with what the step shows, so every prompt is on the
// screen before the program waits.
struct Keys {
  std::string typed;          // one key (one UTF-8 character) at a time, unless pasted
  std::string shown;          // what the screen, or with on_errors standard error, ends with then
  bool pasted = false;        // typed sent in one piece
  bool on_errors = false;
  int still_running_ms = 0;   // the program must still be waiting this long after
};

struct ConsoleCase {
  const char* name;
  const char* not_on_windows = nullptr;
  const char* only_on_windows = nullptr;  // why the row needs a Windows console
  std::vector<std::string> args;
  bool shared_console = false;  // started by cmd /c, which shares the console
  const char* command_file = nullptr;  // "Edit menus.cmd", say: it and the program copied into the
                                      // folder, and it started by cmd /c, as a double-click does
  FileState games = file(kOldGames);
  FileState apps = file(kOldApps);
  std::vector<Keys> keys;
  std::optional<int> status;              // unset: any way of ending counts
  std::optional<FileState> games_after;   // unset: as before
  std::optional<FileState> apps_after;    // unset: as before
  bool ftp = false;             // the console's FTP server serves E/Dash/hvn/ini with one game and one
                                // app; {port} in the arguments and screens is its port
  std::string never_shown;      // what the screen must never show
};

void PrintTo(const ConsoleCase& c, std::ostream* out) { *out << c.name; }

const std::string kNotWrittenYet = "Changes not written; 8 again ends without writing\n";
const std::string kEditCommand = targetIsWindows() ? "start Edit menus.cmd" : "start halvane-menu --keep";
// What a console window of the program's own says before it waits.
std::string closing() { return targetIsWindows() ? "Press Enter to close.\n" : ""; }
const char* const kOwnWindowOnly = "only a Windows console window closes with its program";
// A console window of the program's own (Windows) waits for Enter after the
// program's last words, so that they can be read.
const int kOwnWindowWaits = 300;
std::vector<Keys> thenEnter(std::vector<Keys> keys) {
  if (targetIsWindows()) keys.push_back({"\r", ""});
  return keys;
}
const char* const kCmdFile = "a .cmd file is run by Windows' cmd";
const char* const kEditMenus = "Edit menus.cmd";
// Edit menus.cmd asks for the console's address first.
const std::string kAskedForTheConsole = "7, such as ftp://xbox@192.168.1.20/E/Dash (Enter: the menus here only):\n";
const std::string kMayNotStart = "It may not start on the console: ";
const std::string kNotXbe = "a program's path ends in its .xbe file, such as default.xbe";
const std::string kDoubtful = " may not start on the console; --check lists them\n";

std::vector<ConsoleCase> consoleCases() {
  // Linux's terminal keeps at most 4095 bytes of a line being typed; a
  // Windows console reads one in pieces of at most 16 KiB.
  const std::string pasted = "Racer" + std::string(targetIsWindows() ? 20000 : 4000, ' ') +
                             "e:\\r.xbe\r4\rApp\re:\\a\r";  // and a whole command after it
  // A Windows console hands the program its code page's byte: 0x82 for é in 437.
  const std::string e_acute = targetIsWindows() ? "\x82" : "\xc3\xa9";
  return {
      {.name = "TypedKeyByKey", .games = file(""), .apps = file(""),
       .keys = thenEnter({{"", kMenu}, {"3\r", "3\n" + kGameName}, {"Racer\r", "Racer\n" + kGamePath},
                          {"e:\\r.xbe\r", "e:\\r.xbe\n" + kMenu}, {"5\r", "5\n" + kGames + "Racer==e:\\r.xbe\n" + kMenu},
                          {"7\r", "7\n"},
                          {"", wrote(1, 0) + closing(), false, true, targetIsWindows() ? kOwnWindowWaits : 0}}),
       .status = 0, .games_after = file("Racer==e:\\r.xbe\r\n")},
      {.name = "LongLinePasted", .games = file(""), .apps = file(""),
       .keys = thenEnter({{"", kMenu}, {"3\r", kGameName}, {pasted + "7\r", "", true}}),
       .status = 0, .games_after = file("Racer==e:\\r.xbe\r\n"), .apps_after = file("App==e:\\a\r\n")},
      {.name = "NonAsciiKey", .games = file(""), .apps = file(""),
       .keys = thenEnter({{"", kMenu}, {"3\r", kGameName}, {"R\xc3\xa9\r", kGamePath}, {"e:\\x\r", kMenu},
                          {"5\r", kGames + "R\xc3\xa9==e:\\x\n" + kMenu}, {"7\r", "7\n"}}),
       .status = 0, .games_after = file("R" + e_acute + "==e:\\x\r\n"), .apps_after = file("")},
      // A character the code page lacks is named, and its answer refused: never stored as '?'.
      {.name = "UnheldCharacterRefused", .only_on_windows = "elsewhere bytes are taken as typed", .games = file(""),
       .keys = {{"", kMenu}, {"3\r", kGameName},
                {"\xe6\x97\xa5\r", "Not taken: this console's code page has no U+65E5, which would be stored as ?; type "
                                      "the answer without it\n", false, true},
                {"8\r", ""}},
       .status = 0},
      // A password the address lacks is asked for, and never shown.
      {.name = "PasswordAskedWithoutEcho", .args = {"--fetch", "ftp://xbox@127.0.0.1:{port}/E/Dash"},
       .keys = thenEnter({{"", "Password for xbox at 127.0.0.1: ", false, true},
                          {"xbox\r", "The console's menus at ftp://xbox@127.0.0.1:{port}/E/Dash/ are the ones here\n"}}),
       .status = 0, .ftp = true, .never_shown = "xbox\n"},
      {.name = "HintAtMoreWords",
       .keys = {{"", kMenu}, {"3\r", kGameName},
                {"Project Gotham Racing\r", "Stored Project==Gotham; 'Racing' goes on to the menu. An answer here is one "
                                             "word: for spaces, " + kEditCommand + "\n" + kMayNotStart +
                                             "not a path on the console, whose paths start with a drive and a backslash, "
                                             "such as e:\\; " + kNotXbe + "\n",
                 false, true},
                {"8\r", kNotWrittenYet, false, true}, {"8\r", ""}},
       .status = 0},
      // Without --keep, over menus that hold entries: the start says so, and 7 asks once.
      {.name = "StartSaysWhatTheFilesHoldAndSevenAsksOnce",
       .keys = thenEnter({{"", "games.ini holds 1 game, apps.ini 1 app; 7 replaces them with what you type here. To edit "
                               "them, " + kEditCommand + "\n",
                           false, true},
                          {"3\r", kGameName}, {"A\r", kGamePath}, {"e:\\a\r", kMenu},
                          {"7\r", "7 replaces 1 game in games.ini and 1 app in apps.ini with 1 game and 0 apps; 7 again to "
                                   "do so\n", false, true},
                          {"7\r", wrote(1, 0, "menus are in games.ini.bak and apps.ini.bak") + closing(), false, true,
                           targetIsWindows() ? kOwnWindowWaits : 0}}),
       .status = 0, .games_after = file("A==e:\\a\r\n"), .apps_after = file("")},
      {.name = "EightAsksOnceAfterTypedEntries", .games = file(""), .apps = file(""),
       .keys = {{"", kMenu}, {"3\r", kGameName}, {"A\r", kGamePath}, {"e:\\a\r", kMenu},
                {"8\r", kNotWrittenYet, false, true}, {"8\r", ""}},
       .status = 0},
      // With --keep: what was kept, and a file 7 cannot replace, at once.
      {.name = "KeepSaysWhatWasKeptAndWhatCannotBeReplaced", .args = {"--keep"}, .games = file(kKeptGames),
       .apps = file(kOldApps, fs::perms(0444)),
       .keys = {{"", "Kept 1 game and 1 folder in games.ini, 1 app in apps.ini\n" + location("apps.ini") +
                         " cannot be replaced: " + (targetIsWindows() ? "Access denied" : "Permission denied") +
                         "; mend that before 7\n" + (targetIsWindows() ? "If its Properties say Read-only, untick that box.\n" : "") +
                         kKeepMenu},
                {"8\r", ""}},
       .status = 0},
      // With --keep, doubtful entries are counted at the start and at 7, and named once added.
      {.name = "KeepNamesDoubtfulEntries", .args = {"--keep"}, .games = file("Outrun==E:/Games/outrun/default.xbe\r\n"),
       .keys = thenEnter({{"", "Kept 1 game in games.ini, 1 app in apps.ini\n1 entry" + kDoubtful + kKeepMenu},
                          {"3\r", kGameName}, {"Halo\r", kGamePath},
                          {"e:\\h\\\r", "Added game 2: Halo==e:\\h\\\n" + kMayNotStart + kNotXbe + "\n" + kChoose},
                          {"7\r", "2 entries" + kDoubtful}, {"", closing(), false, true}}),
       .status = 0, .games_after = file("Outrun==E:/Games/outrun/default.xbe\r\nHalo==e:\\h\\\r\n")},
      {.name = "CtrlCLeavesFiles", .keys = {{"", kMenu}, {"3\r", kGameName}, {"A\r", kGamePath}, {"\x03", ""}}},
      {.name = "CtrlDEndsInput", .not_on_windows = "Windows ends console input at Ctrl-Z, and Wine's console hands that over as a byte",
       .keys = {{"", kMenu}, {"\x04", ""}}, .status = 0},
      {.name = "CheckFailedWaitsForEnter", .games = kNoFile,
       .keys = {{"", kCheckFailed, false, false, 300},
                {"", cannotRead("games.ini", kNoSuchFile) + "Press Enter to close.\n", false, true}, {"\r", ""}},
       .status = 1},
      {.name = "UsageEndsAtOnce", .not_on_windows = "a Windows console of its own waits", .args = {"--kep"},
       .status = 2},
      {.name = "VersionWaitsAtOwnConsole", .only_on_windows = kOwnWindowOnly, .args = {"--version"},
       .keys = {{"", "Halvane menu creator 1.0\n", false, false, 300}, {"\r", ""}}, .status = 0},
      {.name = "UsageWaitsAtOwnConsole", .only_on_windows = kOwnWindowOnly, .args = {"--kep"},
       .keys = {{"", usageError("unknown option '--kep'") + closing(), false, true, 300}, {"\r", ""}}, .status = 2},
      {.name = "KeepRefusalWaitsAtOwnConsole", .only_on_windows = kOwnWindowOnly, .args = {"--keep"},
       .games = file("A\r\n"),
       .keys = {{"", cannotKeep("games.ini", 1, "no \"==\" in the line") + closing(), false, true, 300},
                {"\r", ""}},
       .status = 1},
      {.name = "SharedConsoleDoesNotWait", .only_on_windows = "cmd shares a console only under Windows",
       .args = {"--kep"}, .shared_console = true, .status = 2},
      {.name = "EditMenusKeeps", .only_on_windows = kCmdFile, .command_file = kEditMenus, .games = file(kKeptGames),
       .keys = {{"", kAskedForTheConsole}, {"\r", kKeepMenu}, {"5\r", kGames + "Racer==e:\\games\\racer\\default.xbe\nautoadd==f:\\games\\\n" + kChoose},
                {"7\r", "Press any key to continue...", false, false, 300}, {"\r", ""}}},  // after a save too
      // The .cmd pauses; the program does not wait before it.
      {.name = "EditMenusCheckFailedWaitsOnce", .only_on_windows = kCmdFile, .command_file = kEditMenus, .games = kNoFile,
       .keys = {{"", kAskedForTheConsole}, {"\r", "Press any key to continue...", false, false, 300}, {"\r", ""}}},
      {.name = "CheckMenusListsAndWaits", .only_on_windows = kCmdFile, .command_file = "Check menus.cmd",
       .games = file("Outrun==E:/o/default.xbe\r\n"),
       .keys = {{"", location("games.ini") + ":1: Outrun==E:/o/default.xbe: forward slashes; the console's paths use "
                     "backslashes\nPress any key to continue...", false, false, 300}, {"\r", ""}}},
      {.name = "EditMenusWaitsAfterARefusal", .only_on_windows = kCmdFile, .command_file = kEditMenus, .games = file("A\r\n"),
       .keys = {{"", kAskedForTheConsole}, {"\r", "Press any key to continue...", false, false, 300}, {"\r", ""}}},  // cmd's pause, in Wine's words
  };
}

// What a terminal shows, line by line: escape sequences (a Windows console
// host hides and shows the cursor, and erases to the end of a line instead of
// writing trailing spaces) and CRs dropped, trailing spaces cut, and a line
// a Windows console broke at its 80 columns joined again.
std::string screenText(std::string_view raw) {
  std::string text;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\x1b' && i + 1 < raw.size() && raw[i + 1] == '[') {
      for (i += 2; i < raw.size() && !(raw[i] >= '@' && raw[i] <= '~');) ++i;
      continue;
    }
    if (raw[i] == '\r') continue;
    if (raw[i] == '\n' && targetIsWindows() && text.size() - line_start == 80) {
      line_start = text.size();
      continue;
    }
    if (raw[i] == '\n') {
      while (text.size() > line_start && text.back() == ' ') text.pop_back();
      line_start = text.size() + 1;
    }
    text += raw[i];
  }
  return text;
}

bool endsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The keys of `typed`, one UTF-8 character each.
std::vector<std::string> keysOf(const std::string& typed) {
  std::vector<std::string> keys;
  for (const char c : typed) {
    if ((static_cast<unsigned char>(c) & 0xc0) == 0x80 && !keys.empty()) keys.back() += c;
    else keys.emplace_back(1, c);
  }
  return keys;
}

class Console : public testing::TestWithParam<ConsoleCase> {};

TEST_P(Console, Session) {
  const ConsoleCase& c = GetParam();
  if (targetIsWindows() && c.not_on_windows != nullptr) GTEST_SKIP() << c.not_on_windows;
  if (!targetIsWindows() && c.only_on_windows != nullptr) GTEST_SKIP() << c.only_on_windows;
  std::vector<std::string> command = commandFromEnvironment("HVN_PROGRAM");
  ASSERT_FALSE(command.empty()) << "HVN_PROGRAM names no program";
  Scratch scratch;
  if (c.shared_console || c.command_file != nullptr) {
    fs::path started = command.back();
    if (c.command_file != nullptr) {
      for (const char* file : {"halvane-menu.exe", c.command_file})
        fs::copy_file(fs::path(command.back()).parent_path() / file, scratch.folder / file);
      started = scratch.folder / c.command_file;
    }
    std::string windows_path = "Z:" + started.string();
    std::replace(windows_path.begin(), windows_path.end(), '/', '\\');
    // The cmd of the program's own bitness: a 64-bit build runs under wine64.
    const bool wine64 = endsWith(command.front(), "wine64");
    command.back() = wine64 ? "C:\\windows\\system32\\cmd.exe" : "C:\\windows\\syswow64\\cmd.exe";
    command.insert(command.end(), {"/c", windows_path});
  }
  ConsoleServer server;
  if (c.ftp) {
    fs::create_directories(scratch.folder / "console/E/Dash/hvn/ini");
    std::ofstream(scratch.folder / "console/E/Dash/hvn/ini/games.ini") << kOldGames;
    std::ofstream(scratch.folder / "console/E/Dash/hvn/ini/apps.ini") << kOldApps;
    const std::string why = startConsoleServer(server, scratch.folder / "console", {});
    ASSERT_TRUE(why.empty()) << why;
  }
  const auto withPort = [&](std::string text) {
    if (const std::size_t at = text.find("{port}"); at != std::string::npos) text.replace(at, 6, std::to_string(server.port));
    return text;
  };
  for (const std::string& arg : c.args) command.push_back(withPort(arg));
  fs::create_directories(scratch.folder / "hvn" / "ini");
  create(scratch.folder, "games.ini", c.games);
  create(scratch.folder, "apps.ini", c.apps);

  Child child = startProgram(command, scratch.folder, scratch.errors, {.terminal = true});
  // Wine's console host takes keys one at a time once it has switched the
  // terminal out of line mode; keys sent before would reach it as a line.
  if (targetIsWindows() && !c.keys.empty()) {
    ASSERT_TRUE(converse(child, "", [&](const std::string&) { return inRawMode(child); }, timeoutMs()));
  }
  for (const Keys& step : c.keys) {
    for (const std::string& key : step.pasted ? std::vector<std::string>{step.typed} : keysOf(step.typed))
      ASSERT_TRUE(converse(child, key, [](const std::string&) { return true; }, timeoutMs()));
    const std::string shown = screenText(withPort(inFolder(step.shown, scratch.folder)));
    const auto arrived = [&](const std::string& out) {
      return endsWith(screenText(step.on_errors ? contentOf(scratch.errors) : out), shown);
    };
    ASSERT_TRUE(converse(child, "", arrived, timeoutMs()))
        << "waited for: " << shown << "\nscreen: " << screenText(child.output);
    if (step.still_running_ms > 0) {
      usleep(step.still_running_ms * 1000);
      EXPECT_TRUE(isRunning(child)) << "the program did not wait for Enter";
    }
  }
  const int status = finish(child, "", timeoutMs());
  if (!c.never_shown.empty()) {
    EXPECT_EQ(screenText(child.output).find(c.never_shown), std::string::npos) << screenText(child.output);
  }
  EXPECT_NE(status, -1) << "the program did not end; screen: " << screenText(child.output);
  if (c.status) {
    EXPECT_EQ(status, *c.status);
  }
  EXPECT_EQ(describe(observe(scratch.folder, "games.ini")), describe(c.games_after.value_or(c.games)));
  EXPECT_EQ(describe(observe(scratch.folder, "apps.ini")), describe(c.apps_after.value_or(c.apps)));
  EXPECT_EQ(strayFiles(scratch.folder), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(AtTheConsole, Console, testing::ValuesIn(consoleCases()),
                         [](const testing::TestParamInfo<ConsoleCase>& info) { return info.param.name; });

}  // namespace
