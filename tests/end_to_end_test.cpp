// The built program, driven through a pipe in a fresh folder. Each row gives
// the menu files before, the bytes typed, the exact output, the files after
// and the exit status. HVN_PROGRAM is the command that runs the program; when
// it ends in .exe (run under Wine) the program is expected to speak Windows:
// CR LF console lines and backslash paths.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include <pwd.h>
#include <unistd.h>

#include "tests/program_runner.h"

namespace fs = std::filesystem;

namespace {

bool targetIsWindows() {
  static const bool windows = [] {
    const std::vector<std::string> command = commandFromEnvironment("HVN_PROGRAM");
    const std::string suffix = ".exe";
    return !command.empty() && command.back().size() >= suffix.size() &&
           command.back().compare(command.back().size() - suffix.size(), suffix.size(), suffix) == 0;
  }();
  return windows;
}

// Wine takes its time over starting a program (seconds, where it runs under
// an emulator); a native one does not.
int timeoutMs() { return targetIsWindows() ? 120000 : 20000; }

const std::string kMenu =
    "\n     Halvane menu creator 1.0\n\n\n 1. Add Game Directory\n 2. Add App Directory\n"
    " 3. Add Game\n 4. Add App\n 5. Print Games list\n 6. Print App list\n"
    " 7. Write Files & Exit\n 8. Exit\n";
const std::string kAddGameDir = "Enter pull path to directory, example  e:\\games\\ or f:\\games\\ \n";
const std::string kAddAppDir = "Enter pull path to directory, example  e:\\apps\\ or f:\\apps\\ \n";
const std::string kGameName = "Enter Name of game\n";
const std::string kGamePath = "Enter pull path to games, example  e:\\testdrive\\default.xbe \n";
const std::string kAppName = "Enter Name of App\n";
const std::string kAppPath = "Enter pull path to app, example  e:\\dirwalker\\default.xbe \n";
const std::string kAddGame = kGameName + kGamePath;
const std::string kAddApp = kAppName + kAppPath;
const std::string kBadPath = "Bad directory path\n";
const std::string kNext = "Next selection\n";
const std::string kGames = "Print Games \n";
const std::string kApps = "Print Apps \n";
const std::string kCheckFailed = "File check failed\n";

const std::string kOldGames = "Old==e:\\old\\default.xbe\r\n";
const std::string kOldApps = "OldApp==e:\\oldapp\\default.xbe\r\n";

std::string couldNotWrite(const char* file) {
  const char* separator = targetIsWindows() ? "\\" : "/";
  return std::string("Could not write .") + separator + "hvn" + separator + "ini" + separator +
         file + "\n";
}

std::string repeat(const std::string& text, int times) {
  std::string result;
  for (int i = 0; i < times; ++i) result += text;
  return result;
}

// What stands at a menu file's location.
enum class Kind { kAbsent, kFile, kFolder, kUnreadableFile, kLinkToFullDevice };

struct FileState {
  Kind kind = Kind::kFile;
  std::string content;
};

FileState file(std::string content) { return {Kind::kFile, std::move(content)}; }
const FileState kNoFile{Kind::kAbsent, ""};
const FileState kFolder{Kind::kFolder, ""};
const FileState kFullDevice{Kind::kLinkToFullDevice, ""};
const FileState kUnreadable{Kind::kUnreadableFile, kOldGames};

// Changes made to the folder once the first menu has appeared.
enum class Fault { kNone, kAppsBecomesFolder, kGamesBecomesFolder, kAppsVanishes, kGamesVanishes };

struct Case {
  const char* name;
  bool no_hvn_folder = false;
  FileState games = file(kOldGames);
  FileState apps = file(kOldApps);
  Fault fault = Fault::kNone;
  std::string input;
  std::string output;
  std::optional<FileState> games_after;  // unset: as before
  std::optional<FileState> apps_after;   // unset: as before
  int status = 0;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

std::vector<Case> cases() {
  const std::string long_name(255, 'n');
  const std::string longest_name(254, 'n');
  const std::string fill_games = repeat("3 G e:\\g\n", 255);
  return {
      // Start-up test.
      {.name = "NoHvnFolder", .no_hvn_folder = true, .input = "x", .output = kCheckFailed},
      {.name = "GamesMissing", .games = kNoFile, .input = "8\n", .output = kCheckFailed},
      {.name = "AppsMissing", .apps = kNoFile, .input = "8\n", .output = kCheckFailed},
      {.name = "GamesIsFolder", .games = kFolder, .input = "8\n", .output = kCheckFailed},
      {.name = "AppsIsFolder", .apps = kFolder, .input = "8\n", .output = kCheckFailed},
      {.name = "GamesUnreadable", .games = kUnreadable, .input = "8\n", .output = kCheckFailed},
      {.name = "CheckFailedAtEndOfInput", .games = kNoFile, .output = kCheckFailed},

      // Selections.
      {.name = "ExitWritesNothing", .input = "3 A e:\\a\n8\n", .output = kMenu + kAddGame + kMenu},
      {.name = "UnknownSelections", .input = "9\n0\na\n\x01\n:\n8\n",
       .output = kMenu + repeat(kNext + kMenu, 5)},
      {.name = "SelectionAfterBlanks", .input = "\n\n   5\n\t 8\n", .output = kMenu + kGames + kMenu},
      {.name = "FirstCharacterSelects", .input = "12\ne:\\g\n8xyz\n5\n",
       .output = kMenu + kAddGameDir + kMenu},
      {.name = "EndOfInputAtMenu", .input = "", .output = kMenu},
      {.name = "LastTokenWithoutNewline", .input = "9", .output = kMenu + kNext + kMenu},
      {.name = "EndOfInputAtName", .input = "3\n", .output = kMenu + kGameName},
      {.name = "EndOfInputAtPath", .input = "4 Walker", .output = kMenu + kAddApp},
      {.name = "EndOfInputAtDirectory", .input = "1\n   ", .output = kMenu + kAddGameDir},

      // Adding, listing and writing.
      {.name = "WriteEmptyLists", .input = "7\n", .output = kMenu,
       .games_after = file(""), .apps_after = file("")},
      {.name = "AllFourCommands",
       .input = "1\nf:\\games\\\n2\ne:\\apps\n3\nRacer\ne:\\games\\racer\\default.xbe\n"
                "4\nWalker\ne:\\dirwalker\\default.xbe\n5\n6\n7\n",
       .output = kMenu + kAddGameDir + kMenu + kAddAppDir + kMenu + kAddGame + kMenu + kAddApp +
                 kMenu + kGames + "autoadd==f:\\games\\\nRacer==e:\\games\\racer\\default.xbe\n" +
                 kMenu + kApps + "autoadd==e:\\apps\\\nWalker==e:\\dirwalker\\default.xbe\n" + kMenu,
       .games_after = file("autoadd==f:\\games\\\r\nRacer==e:\\games\\racer\\default.xbe\r\n"),
       .apps_after = file("autoadd==e:\\apps\\\r\nWalker==e:\\dirwalker\\default.xbe\r\n")},
      {.name = "NameAndPathOnOneLine", .input = "3\nRacer e:\\r.xbe\n5\n8\n",
       .output = kMenu + kAddGame + kMenu + kGames + "Racer==e:\\r.xbe\n" + kMenu},
      {.name = "ShortDirectoryPaths", .input = "1 e:\n1 e\n1 e:\\games/\n7\n",
       .output = repeat(kMenu + kAddGameDir, 3) + kMenu,
       .games_after = file("autoadd==e:\\\r\nautoadd==e\\\r\nautoadd==e:\\games/\\\r\n"),
       .apps_after = file("")},
      {.name = "ColonAtThirdCharacterRejected",
       .input = "1 hd:\\games\\\n2 hd:\\apps\\\n3 A hd:\\a.xbe\n4 B ab:\n1 ab\n5\n6\n7\n",
       .output = kMenu + kAddGameDir + kBadPath + kMenu + kAddAppDir + kBadPath + kMenu + kAddGame +
                 kBadPath + kMenu + kAddApp + kBadPath + kMenu + kAddGameDir + kMenu + kGames +
                 "autoadd==ab\\\n" + kMenu + kApps + kMenu,
       .games_after = file("autoadd==ab\\\r\n"), .apps_after = file("")},
      {.name = "DuplicatesAndAutoaddTitleKept", .input = "3 A e:\\a\n3 A e:\\a\n3 autoadd e:\\g\n7\n",
       .output = repeat(kMenu + kAddGame, 3) + kMenu,
       .games_after = file("A==e:\\a\r\nA==e:\\a\r\nautoadd==e:\\g\r\n"), .apps_after = file("")},
      {.name = "BytesKeptAsTyped", .input = "4\nW\xe9\x80\xff\x1a\x01 e:\\\xe9\\default.xbe\n6\n7\n",
       .output = kMenu + kAddApp + kMenu + kApps + "W\xe9\x80\xff\x1a\x01==e:\\\xe9\\default.xbe\n" + kMenu,
       .games_after = file(""), .apps_after = file("W\xe9\x80\xff\x1a\x01==e:\\\xe9\\default.xbe\r\n")},
      {.name = "CarriageReturnIsWhitespace", .input = "3\r\nRacer\r\ne:\\r.xbe\r\n7\r\n",
       .output = kMenu + kAddGame + kMenu, .games_after = file("Racer==e:\\r.xbe\r\n"),
       .apps_after = file("")},
      {.name = "ZeroByteEndsText", .input = std::string("3 Ra\0cer e:\\r.xbe\n7\n", 20),
       .output = kMenu + kAddGame + kMenu, .games_after = file("Ra==e:\\r.xbe\r\n"),
       .apps_after = file("")},

      // Limits.
      {.name = "NameTooLong", .input = "3 " + long_name + " e:\\a\n4 " + longest_name + " e:\\a\n6\n8\n",
       .output = kMenu + kAddGame + "Name or path too long\n" + kMenu + kAddApp + kMenu + kApps +
                 longest_name + "==e:\\a\n" + kMenu},
      {.name = "DirectoryTooLongWithBackslash", .input = "2 " + std::string(254, 'd') + "\n6\n8\n",
       .output = kMenu + kAddAppDir + "Name or path too long\n" + kMenu + kApps + kMenu},
      {.name = "ListFull", .input = fill_games + "3 Last e:\\l\n4 App e:\\p\n7\n",
       .output = repeat(kMenu + kAddGame, 256) + "List is full\n" + kMenu + kAddApp + kMenu,
       .games_after = file(repeat("G==e:\\g\r\n", 255)), .apps_after = file("App==e:\\p\r\n")},

      // Disk faults while writing.
      {.name = "AppsOnFullDisk", .apps = kFullDevice, .input = "3 A e:\\a\n4 B e:\\b\n7\n",
       .output = kMenu + kAddGame + kMenu + kAddApp + kMenu + couldNotWrite("apps.ini"), .status = 1},
      {.name = "GamesOnFullDisk", .games = kFullDevice, .input = "3 A e:\\a\n4 B e:\\b\n7\n",
       .output = kMenu + kAddGame + kMenu + kAddApp + kMenu + couldNotWrite("games.ini"),
       .apps_after = file("B==e:\\b\r\n"), .status = 1},
      {.name = "AppsBecameFolder", .fault = Fault::kAppsBecomesFolder, .input = "3 A e:\\a\n7\n",
       .output = kMenu + kAddGame + kMenu + couldNotWrite("apps.ini"), .apps_after = kFolder,
       .status = 1},
      {.name = "GamesBecameFolder", .fault = Fault::kGamesBecomesFolder, .input = "4 B e:\\b\n7\n",
       .output = kMenu + kAddApp + kMenu + couldNotWrite("games.ini"), .games_after = kFolder,
       .apps_after = file("B==e:\\b\r\n"), .status = 1},
      {.name = "AppsVanishedIsCreated", .fault = Fault::kAppsVanishes, .input = "4 B e:\\b\n7\n",
       .output = kMenu + kAddApp + kMenu, .games_after = file(""), .apps_after = file("B==e:\\b\r\n")},
      {.name = "GamesVanishedIsCreated", .fault = Fault::kGamesVanishes, .input = "3 A e:\\a\n7\n",
       .output = kMenu + kAddGame + kMenu, .games_after = file("A==e:\\a\r\n"), .apps_after = file("")},
  };
}

void create(const fs::path& path, const FileState& state) {
  switch (state.kind) {
    case Kind::kAbsent: break;
    case Kind::kFolder: fs::create_directory(path); break;
    case Kind::kLinkToFullDevice: fs::create_symlink("/dev/full", path); break;
    case Kind::kFile:
    case Kind::kUnreadableFile:
      std::ofstream(path, std::ios::binary) << state.content;
      if (state.kind == Kind::kUnreadableFile) fs::permissions(path, fs::perms::none);
      break;
  }
}

FileState observe(const fs::path& path) {
  const fs::file_status status = fs::symlink_status(path);
  if (fs::is_symlink(status)) return kFullDevice;
  if (!fs::exists(status)) return kNoFile;
  if (fs::is_directory(status)) return kFolder;
  std::ifstream in(path, std::ios::binary);
  FileState state{Kind::kFile, {std::istreambuf_iterator<char>(in), {}}};
  if ((status.permissions() & fs::perms::all) == fs::perms::none) state.kind = Kind::kUnreadableFile;
  return state;
}

std::string describe(const FileState& state) {
  static const char* const kKinds[] = {"absent", "file", "folder", "unreadable file", "link to /dev/full"};
  return std::string(kKinds[static_cast<int>(state.kind)]) + ": " + state.content;
}

void applyFault(Fault fault, const fs::path& ini) {
  switch (fault) {
    case Fault::kNone: break;
    case Fault::kAppsBecomesFolder: fs::remove(ini / "apps.ini"); fs::create_directory(ini / "apps.ini"); break;
    case Fault::kGamesBecomesFolder: fs::remove(ini / "games.ini"); fs::create_directory(ini / "games.ini"); break;
    case Fault::kAppsVanishes: fs::remove(ini / "apps.ini"); break;
    case Fault::kGamesVanishes: fs::remove(ini / "games.ini"); break;
  }
}

// A Windows program sees the console's line end as CR LF.
std::string onConsole(const std::string& text) {
  if (!targetIsWindows()) return text;
  std::string result;
  for (char c : text) result += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return result;
}

// A fresh folder for one session, and beside it the file that takes the
// program's standard error. On the way out, whichever way that is, the errors
// are shown if the test failed, and both are removed.
struct Scratch {
  const fs::path folder = makeTempFolder();
  const std::string errors = folder.string() + ".stderr";
  ~Scratch() {
    if (testing::Test::HasFailure()) std::cerr << "standard error:\n" << std::ifstream(errors).rdbuf() << "\n";
    fs::remove(errors);
    fs::remove_all(folder);
  }
};

bool menuShown(const std::string& output) { return output.find(onConsole(kMenu)) != std::string::npos; }

class EndToEnd : public testing::TestWithParam<Case> {};

TEST_P(EndToEnd, Session) {
  const Case& c = GetParam();
  const bool unreadable = c.games.kind == Kind::kUnreadableFile;
  const bool full_device = c.games.kind == Kind::kLinkToFullDevice || c.apps.kind == Kind::kLinkToFullDevice;
  if (targetIsWindows() && full_device) GTEST_SKIP() << "/dev/full is a Linux device; Windows has none";
  if (targetIsWindows() && unreadable)
    GTEST_SKIP() << "Wine will not run as another user than the owner of its prefix";

  std::vector<std::string> command = commandFromEnvironment("HVN_PROGRAM");
  ASSERT_FALSE(command.empty()) << "HVN_PROGRAM names no program";
  const Scratch scratch;
  const fs::path& folder = scratch.folder;
  const fs::path ini = folder / "hvn" / "ini";
  if (unreadable) {
    if (getuid() == 0 && getpwnam("nobody") == nullptr)
      GTEST_SKIP() << "running as root and there is no user nobody to run as";
    // User nobody may not be able to reach the build folder: run a copy.
    fs::copy_file(command[0], folder / "program");
    command[0] = (folder / "program").string();
  }
  if (!c.no_hvn_folder) {
    fs::create_directories(ini);
    create(ini / "games.ini", c.games);
    create(ini / "apps.ini", c.apps);
  }

  Child child = startProgram(command, folder, scratch.errors, unreadable);
  if (c.fault != Fault::kNone) {
    ASSERT_TRUE(converse(child, "", menuShown, timeoutMs()) && menuShown(child.output))
        << "no menu appeared; output: " << child.output;
    applyFault(c.fault, ini);
  }
  const int status = finish(child, c.input, timeoutMs());

  EXPECT_EQ(child.output, onConsole(c.output));
  EXPECT_EQ(status, c.status);
  if (c.no_hvn_folder) {
    EXPECT_FALSE(fs::exists(folder / "hvn"));
  } else {
    EXPECT_EQ(describe(observe(ini / "games.ini")), describe(c.games_after.value_or(c.games)));
    EXPECT_EQ(describe(observe(ini / "apps.ini")), describe(c.apps_after.value_or(c.apps)));
  }
}

INSTANTIATE_TEST_SUITE_P(Sessions, EndToEnd, testing::ValuesIn(cases()),
                         [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

// Each answer is sent only once its prompt has arrived, as a person at the
// console would: if any prompt were still buffered when the program began to
// wait, the session would stall here.
TEST(Interaction, PromptsArriveBeforeTheProgramWaits) {
  const Scratch scratch;
  const fs::path& folder = scratch.folder;
  fs::create_directories(folder / "hvn" / "ini");
  std::ofstream(folder / "hvn" / "ini" / "games.ini") << "";
  std::ofstream(folder / "hvn" / "ini" / "apps.ini") << "";
  Child child = startProgram(commandFromEnvironment("HVN_PROGRAM"), folder, scratch.errors);

  const struct {
    const char* answer;
    std::string expected;  // everything printed once the answer has been taken
  } steps[] = {
      {"", kMenu},
      {"3\n", kMenu + kGameName},
      {"Racer\n", kMenu + kAddGame},
      {"e:\\r.xbe\n", kMenu + kAddGame + kMenu},
      {"5\n", kMenu + kAddGame + kMenu + kGames + "Racer==e:\\r.xbe\n" + kMenu},
  };
  for (const auto& step : steps) {
    const std::string expected = onConsole(step.expected);
    const bool arrived = converse(
        child, step.answer, [&](const std::string& output) { return output.size() >= expected.size(); },
        timeoutMs());
    ASSERT_TRUE(arrived) << "waited for: " << step.expected << "\ngot: " << child.output;
    ASSERT_EQ(child.output, expected);
  }
  // Input stays open until here, so the program cannot have seen its end.
  EXPECT_EQ(finish(child, "8\n", timeoutMs()), 0);
}

}  // namespace
