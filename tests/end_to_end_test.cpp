// The built program, driven through a pipe in a fresh folder. Each row gives
// the command line, the menu files before, the bytes typed, the exact output
// and errors, the files after and the exit status; nothing else may be left
// in the folder. HVN_PROGRAM is the command that runs the program; when
// it ends in .exe (run under Wine) the program is expected to speak Windows:
// CR LF console lines and backslash paths.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <linux/fs.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "tests/program_runner.h"

namespace fs = std::filesystem;

namespace {

bool targetIsWindows() {
  static const bool windows = isWindowsProgram(commandFromEnvironment("HVN_PROGRAM"));
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
// With --keep the menu offers editing too.
const std::string kKeepMenu =
    kMenu + " 9. Remove Game\n 0. Remove App\n m. Move Game\n n. Move App\n e. Change Game\n f. Change App\n";
const std::string kRemoveGame = "Enter number of game to remove\n";
const std::string kRemoveApp = "Enter number of App to remove\n";
const std::string kNothingRemoved = "No such entry, nothing removed\n";
const std::string kMoveGame = "Enter number of game to move\nEnter new number of game\n";
const std::string kMoveApp = "Enter number of App to move\nEnter new number of App\n";
const std::string kChangeGame = "Enter number of game to change\n";
const std::string kChangeApp = "Enter number of App to change\n";
const std::string kBadName = "Name may not hold == or end in =\n";
const std::string kAddGame = kGameName + kGamePath;
const std::string kAddApp = kAppName + kAppPath;
const std::string kBadPath = "Bad directory path\n";
const std::string kNext = "Next selection\n";
const std::string kGames = "Print Games \n";
const std::string kApps = "Print Apps \n";
const std::string kCheckFailed = "File check failed\n";
const std::string kNoBackup = "nothing was written, and 7 again writes without a backup";
// With --keep, after a command, the choices in one line instead of the menu.
const std::string kChoose = "Choose 1-9, 0, m, n, e or f; Enter shows the menu\n";
const std::string kNothingChanged = "Nothing changed\n";
// Change shows the entry as it is first.
std::string now(const std::string& entry) { return "Now: " + entry + "; Enter keeps each part as it is\n"; }
const std::string kUnwritten = "Changes not written; 8 again ends without writing\n";

const std::string kOldGames = "Old==e:\\old\\default.xbe\r\n";
const std::string kOldApps = "OldApp==e:\\oldapp\\default.xbe\r\n";
const std::string kKeptGames = "Racer==e:\\games\\racer\\default.xbe\r\nautoadd==f:\\games\\\r\n";
const std::string kKeptApps = "Walker==e:\\dirwalker\\default.xbe\r\n";
// A menu longer than a read block: 250 lines of 299 bytes.
const std::string kLongMenu = [] {
  std::string menu;
  for (int i = 0; i < 250; ++i)
    menu.append(50, 'n').append(std::to_string(1000 + i)).append("==").append(240, 'p').append("\r\n");
  return menu;
}();
// Lines no typed entry could give, kept as they stand.
const std::string kOddLines = "My Game==e:\\my games\\default.xbe\r\n==e:\\no-name\r\nhd==hd:\\apps\\\r\n"
                              "autoadd==e:\\games\r\nx==a==b\r\n \t==\r\n" +
                              std::string(254, 'n') + "==" + std::string(254, 'p') + "\r\n";
const std::string kUsage = "Usage: halvane-menu [--keep | --help | --version]\n";
// A command line refused: what was wrong, the usage line, and where help is.
std::string usageError(const std::string& complaint) {
  return "halvane-menu: " + complaint + "\n" + kUsage + "Try 'halvane-menu --help'" +
         (targetIsWindows() ? " or 'halvane-menu /?'" : "") + ".\n";
}

// A menu file's location as the program spells it.
std::string location(const char* file) {
  const char* separator = targetIsWindows() ? "\\" : "/";
  return std::string(".") + separator + "hvn" + separator + "ini" + separator + file;
}

// Why a write failed, in the system's own words: POSIX's and Windows'.
struct Reason {
  const char* posix;
  const char* windows;
};
const Reason kNoSpace{"No space left on device", "Disk full"};
const Reason kIsFolder{"Is a directory", "Access denied"};
const Reason kReadOnly{"Permission denied", "Access denied"};
const Reason kNoReader{"No such device or address", ""};
const Reason kHeld{"", "Sharing violation"};
const Reason kIo{"Input/output error", ""};
const Reason kNotPermitted{"Operation not permitted", ""};
const Reason kLinkSwappedIn{"Too many levels of symbolic links", ""};
const Reason kMapped{"", "File has a user-mapped section"};
const Reason kQuota{"Disk quota exceeded", ""};
const Reason kNoSuchFile{"No such file or directory", "No such file or directory"};
const Reason kSwapped{"Resource temporarily unavailable", ""};  // another file took the name meanwhile

// A failed 7: the file, the system's reason, then what became of the files:
// "nothing was written", or which was.
std::string couldNotWrite(const char* file, const Reason& reason, const std::string& outcome = "nothing was written") {
  return "Could not write " + location(file) + ": " + (targetIsWindows() ? reason.windows : reason.posix) +
         (outcome.empty() ? "" : "; " + outcome) + "\n";
}

// A save's last words: "Wrote 1 game to ... and 2 apps to ... (the old menus are in ...)".
std::string wrote(int games, int apps, const std::string& backups = "") {
  const auto entries = [](int n, const char* noun) { return std::to_string(n) + " " + noun + (n == 1 ? "" : "s"); };
  return "Wrote " + entries(games, "game") + " to " + location("games.ini") + " and " + entries(apps, "app") +
         " to " + location("apps.ini") + (backups.empty() ? "" : " (the old " + backups + ")") + "\n";
}

// The start-up test's words on standard error; {folder} stands for the
// folder the program runs in.
std::string cannotRead(const char* file, const Reason& reason) {
  return "Cannot read " + location(file) + " in {folder}: " + (targetIsWindows() ? reason.windows : reason.posix) +
         "\n";
}

// The refusal of nobody's link to a file of root's, as root hears it.
std::string plantedLink(const char* file) {
  return std::string("hvn/ini/") + file +
         " is nobody's and leads to /, which is yours; not followed, as nobody could have pointed it anywhere";
}

std::string changedElsewhere(const char* file) {
  return location(file) + " changed since it was read; 7 again replaces it\n";
}

std::string cannotKeep(const char* file, int line, const std::string& reason) {
  return "Cannot keep " + location(file) + ": line " + std::to_string(line) + ": " + reason + "\n";
}

// A list as a removal shows it: numbered from 1, right-aligned in three places.
std::string numbered(const std::vector<std::string>& lines) {
  std::string result;
  char number[24];
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::snprintf(number, sizeof number, "%3zu. ", i + 1);
    result += number + lines[i] + "\n";
  }
  return result;
}

std::string repeat(const std::string& text, int times) {
  std::string result;
  for (int i = 0; i < times; ++i) result += text;
  return result;
}

// True when `content` reads as `menu`: the same lines, then blank ones only.
bool readsAs(const std::string& content, const std::string& menu) {
  return content.compare(0, menu.size(), menu) == 0 &&
         content.find_first_not_of("\r\n", menu.size()) == std::string::npos;
}

std::string contentOf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Sets a folder's flags (append-only, say); false where the file system has none.
bool setFolderFlags(const fs::path& folder, int flags) {
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
  const bool set = fd >= 0 && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  if (fd >= 0) close(fd);
  return set;
}

// A fresh folder for one session, and beside it the file that takes the
// program's standard error. On the way out, whichever way that is, the errors
// are shown if the test failed, a file system mounted in the folder is
// unmounted, and both are removed.
struct Scratch {
  const fs::path folder = makeTempFolder();
  const std::string errors = folder.string() + ".stderr";
  fs::path mounted;
  fs::path append_only;  // a folder whose append-only flag is cleared first
  ~Scratch() {
    if (testing::Test::HasFailure()) std::cerr << "standard error:\n" << contentOf(errors) << "\n";
    if (!mounted.empty()) umount2(mounted.c_str(), MNT_DETACH);
    if (!append_only.empty()) setFolderFlags(append_only, 0);
    fs::remove(errors);
    // A folder deeper than a path can name is more than remove_all can take.
    std::error_code failed;
    fs::remove_all(folder, failed);
    if (failed && std::system(("rm -rf '" + folder.string() + "'").c_str()) != 0) std::cerr << "left " << folder;
  }
};

// What stands at a menu file's location.
enum class Kind {
  kAbsent,
  kFile,
  kFolder,
  kUnreadableFile,
  kLinkToFullDevice,  // a link to full-device, a node of the test's own that is always full
  kFifo,
  kLinkToFile,       // a symbolic link to a file of that name in elsewhere/
  kHardLinkedFile,   // a file with a second name, other-name-<file>, beside it
  kZeroDevice,       // a device node of the test's own that reads as endless zero bytes
  kNoHvnFolder,      // not even the folder hvn is there
};

struct FileState {
  Kind kind = Kind::kFile;
  std::string content;
  fs::perms mode = fs::perms(0644);  // of the file itself, or of the one linked to
};

FileState file(std::string content, fs::perms mode = fs::perms(0644)) {
  return {Kind::kFile, std::move(content), mode};
}
FileState linkTo(std::string content) { return {Kind::kLinkToFile, std::move(content)}; }
FileState hardLinked(std::string content) { return {Kind::kHardLinkedFile, std::move(content)}; }
const FileState kNoFile{Kind::kAbsent, ""};
const FileState kFolder{Kind::kFolder, ""};
const FileState kFullDevice{Kind::kLinkToFullDevice, ""};
const FileState kFifo{Kind::kFifo, ""};
const FileState kUnreadable{Kind::kUnreadableFile, kOldGames, fs::perms::none};
const FileState kZeroDevice{Kind::kZeroDevice, ""};
const FileState kNoHvnFolder{Kind::kNoHvnFolder, ""};

// Changes made to the folder once the first menu has appeared.
enum class Fault {
  kNone,
  kAppsBecomesFolder,
  kGamesVanishes,
  kAppsBecomesFifo,
  kAppsAppendedTo,             // another program adds a line to apps.ini
  kGamesRenamedOver,           // an editor saves games.ini, unchanged, by renaming a new file over it
  kGamesFirstByteChanged,      // games.ini's first byte is changed in place
};

// How the session's input and output are paced.
enum class Pace {
  kAtOnce,
  kInputLate,   // input is sent 200 ms after the first output; the program must wait
  kReadLate,    // output is read only 300 ms after the input was sent
  kReaderGone,  // the reader of the output goes away at once
};

// What happens once the output holds `seen`: a shell command runs in the
// session's folder, as another program or the user would, then `input` is
// sent.
struct Between {
  std::string seen;
  const char* command = nullptr;
  std::string input;
};

// What else a row looks at after the session, and what that must show.
struct Look {
  std::string (*at)(const fs::path& folder) = nullptr;
  std::string shows;
};

struct Case {
  const char* name;
  const char* not_on_windows = nullptr;  // why the row cannot run under Wine, if it cannot
  std::vector<std::string> args;
  FileState games = file(kOldGames);
  FileState apps = file(kOldApps);
  Fault fault = Fault::kNone;
  std::string input;
  Pace pace = Pace::kAtOnce;
  Between then;
  StartOptions start;
  std::string output;
  std::optional<std::string> errors;     // unset: not checked
  std::optional<FileState> games_after;  // unset: as before
  std::optional<FileState> apps_after;   // unset: as before
  int status = 0;
  // A setup step of the row's own, once the menu files are made: returns why
  // the row cannot run here, or nothing. `folder` is where the program runs.
  std::string (*prepare)(const fs::path& folder, Scratch& scratch) = nullptr;
  Look look;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

const char* const kRunsAsNobody = "Wine will not run as another user than the owner of its prefix";
const char* const kLinuxDevice = "a device node is a Linux file; Windows has none";
const char* const kNoFifo = "a FIFO is a POSIX file; Windows has none";
const char* const kPreloaded = "faults are injected by preloading a library into a Linux program";

fs::path menuPath(const fs::path& folder, const char* file) { return folder / "hvn" / "ini" / file; }

// The other names of a linked menu file: the file a symbolic link names, in
// a folder of its own, and the second name of a hard-linked one, beside it.
fs::path linkTarget(const fs::path& folder, const std::string& file) { return folder / "elsewhere" / file; }
fs::path otherName(const fs::path& folder, const std::string& file) {
  return folder / "hvn" / "ini" / ("other-name-" + file);
}

void writeFile(const fs::path& path, const FileState& state) {
  std::ofstream(path, std::ios::binary) << state.content;
  fs::permissions(path, state.mode);
}

// The backups beside the menu files: "games.ini.bak: <its bytes>, ...".
std::string backupsOf(const fs::path& folder) {
  std::string text;
  for (const char* file : {"games.ini.bak", "apps.ini.bak"}) {
    const fs::path path = menuPath(folder, file);
    if (!fs::exists(path)) continue;
    text += (text.empty() ? "" : ", ") + std::string(file) + ": " + (fs::is_directory(path) ? "folder" : contentOf(path));
  }
  return text;
}

// The program a fault is made to happen in: on Windows, its test build with
// the fault library in it (HVN_WINDOWS_FAULTED), run the way the program is;
// empty if it was not built.
std::vector<std::string> faultedProgram() {
  std::vector<std::string> command = commandFromEnvironment("HVN_PROGRAM");
  if (!targetIsWindows() || command.empty()) return command;
  const char* const faulted = std::getenv("HVN_WINDOWS_FAULTED");
  if (faulted == nullptr || !fs::exists(faulted)) return {};
  command.back() = faulted;
  return command;
}

const passwd* nobodyAsRoot() { return getuid() == 0 ? getpwnam("nobody") : nullptr; }
const char* const kNeedsNobody = "handing files to user nobody takes root and that user";

// Root runs the program in a folder that user nobody controls: hvn, hvn/ini
// and what stands in it are nobody's, while elsewhere/ and its files are
// root's alone.
std::string nobodysFolder(const fs::path& folder, Scratch&) {
  const passwd* const nobody = nobodyAsRoot();
  if (nobody == nullptr) return kNeedsNobody;
  for (const fs::path& path : {folder / "hvn", folder / "hvn" / "ini", menuPath(folder, "apps.ini"),
                               menuPath(folder, "games.ini")})
    if (lchown(path.c_str(), nobody->pw_uid, nobody->pw_gid) != 0) return std::strerror(errno);
  fs::create_directories(folder / "elsewhere");
  fs::permissions(folder / "elsewhere", fs::perms(0700));
  for (const char* file : {"apps.ini", "games.ini"})
    if (fs::exists(linkTarget(folder, file))) fs::permissions(linkTarget(folder, file), fs::perms(0600));
  return {};
}

// games.ini is nobody's link to elsewhere/games.ini, a FIFO of root's with
// a writer waiting for five seconds, which touches "opened" once a reader
// has opened it.
std::string fifoWithWriter(const fs::path& folder, Scratch& scratch) {
  if (const std::string why = nobodysFolder(folder, scratch); !why.empty()) return why;
  const fs::path fifo = linkTarget(folder, "games.ini");
  fs::remove(fifo);
  if (mkfifo(fifo.c_str(), 0600) != 0) return std::strerror(errno);
  const std::string writer = "cd '" + folder.string() + "' && (timeout 5 sh -c 'echo x > elsewhere/games.ini && touch opened' &)";
  return std::system(writer.c_str()) == 0 ? "" : "cannot start the FIFO's writer";
}

std::string fifoOpened(const fs::path& folder) {
  usleep(200 * 1000);  // time for a writer let through to say so
  return fs::exists(folder / "opened") ? "opened" : "not opened";
}

// hvn/ini is a file system of two pages (a tmpfs of 8 KiB), full with the
// two files.
std::string smallDisk(const fs::path& folder, Scratch& scratch) {
  if (getuid() != 0) return "mounting a small file system takes root";
  const fs::path ini = folder / "hvn" / "ini";
  const std::string games = contentOf(ini / "games.ini"), apps = contentOf(ini / "apps.ini");
  if (mount("tmpfs", ini.c_str(), "tmpfs", 0, "size=8k,mode=755") != 0)
    return std::string("cannot mount a small file system here: ") + std::strerror(errno);
  scratch.mounted = ini;
  std::ofstream(ini / "games.ini", std::ios::binary) << games;
  std::ofstream(ini / "apps.ini", std::ios::binary) << apps;
  return {};
}

// hvn/ini is a btrfs file system of its own (btrfs.img) holding the menu
// files, with a quota that a filler file has used up, as a nearly full
// quota on a copy-on-write disk does.
std::string btrfsWithQuota(const fs::path& folder, Scratch& scratch) {
  if (getuid() != 0) return "mounting a file system takes root";
  if (std::system("command -v mkfs.btrfs >/dev/null && command -v btrfs >/dev/null") != 0)
    return "mkfs.btrfs and btrfs (Debian's btrfs-progs) are not here";
  const fs::path ini = folder / "hvn" / "ini";
  const std::string games = contentOf(ini / "games.ini"), apps = contentOf(ini / "apps.ini");
  const std::string image = (folder / "btrfs.img").string();
  if (std::system(("truncate -s 128M '" + image + "' && mkfs.btrfs -q '" + image + "' >/dev/null 2>&1").c_str()) != 0)
    return "cannot make a btrfs image here";
  if (std::system(("mount -o loop '" + image + "' '" + ini.string() + "' 2>/dev/null").c_str()) != 0)
    return "cannot mount a loop device here";
  scratch.mounted = ini;
  std::ofstream(ini / "games.ini", std::ios::binary) << games;
  std::ofstream(ini / "apps.ini", std::ios::binary) << apps;
  const std::string fill = "cd '" + ini.string() + "' && btrfs quota enable . && btrfs qgroup limit 1M . && sync && "
                           "{ dd if=/dev/zero of=filler bs=4k >/dev/null 2>&1; sync; }";
  return std::system(fill.c_str()) == 0 ? "" : "cannot set a btrfs quota here";
}

// hvn/ini lets nothing in it be removed or renamed over (chattr +a).
std::string appendOnlyFolder(const fs::path& folder, Scratch& scratch) {
  if (!setFolderFlags(folder / "hvn" / "ini", FS_APPEND_FL)) return "this file system has no append-only folders here";
  scratch.append_only = folder / "hvn" / "ini";
  return {};
}

// full-device: a node of the test's own that is always full, never /dev/full.
std::string makeFullDevice(const fs::path& folder, Scratch&) {
  if (mknod((folder / "full-device").c_str(), S_IFCHR | 0666, makedev(1, 7)) != 0 ||
      access((folder / "full-device").c_str(), W_OK) != 0)
    return std::string("cannot make and open a device node here: ") + std::strerror(errno);
  return {};
}

std::vector<Case> cases() {
  const std::string long_name(255, 'n');
  const std::string longest_name(254, 'n');
  const std::string fill_games = repeat("3 G e:\\g\n", 255);
  const std::string fill_apps = repeat("4 " + std::string(200, 'a') + " e:\\a\n", 40);
  return {
      // Start-up test.
      // Start-up test: which file, where and why on standard error, and a failure.
      {.name = "NoHvnFolder", .games = kNoHvnFolder, .input = "x", .output = kCheckFailed,
       .errors = cannotRead("games.ini", kNoSuchFile), .status = 1},
      {.name = "GamesMissing", .games = kNoFile, .input = "8\n", .output = kCheckFailed, .status = 1},
      {.name = "AppsMissing", .apps = kNoFile, .input = "8\n", .output = kCheckFailed,
       .errors = cannotRead("apps.ini", kNoSuchFile), .status = 1},
      {.name = "GamesIsFolder", .games = kFolder, .input = "8\n", .output = kCheckFailed, .status = 1},
      {.name = "AppsIsFolder", .apps = kFolder, .input = "8\n", .output = kCheckFailed,
       .errors = cannotRead("apps.ini", {"Is a directory", "Is a directory"}), .status = 1},
      {.name = "GamesUnreadable", .not_on_windows = kRunsAsNobody, .games = kUnreadable, .input = "8\n",
       .output = kCheckFailed, .errors = cannotRead("games.ini", kReadOnly), .status = 1},
      {.name = "CheckFailedAtEndOfInput", .games = kNoFile, .output = kCheckFailed, .status = 1},

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
       .errors = "", .games_after = file("autoadd==f:\\games\\\r\nRacer==e:\\games\\racer\\default.xbe\r\n"),
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
      {.name = "ZeroByteEndsDirectoryPath", .input = std::string("1 e:\\g\0x\n7\n", 11),
       .output = kMenu + kAddGameDir + kMenu, .games_after = file("autoadd==e:\\g\\\r\n"),
       .apps_after = file("")},
      {.name = "NamesThatReadBackElsewhereRefused",
       .input = "3 x== " + std::string(254, 'p') + "\n4 a= =b\n3 a==b e:\\a\n3 a=b =e\n5\n6\n7\n",
       .output = kMenu + kAddGame + kBadName + kMenu + kAddApp + kBadName + kMenu + kAddGame + kBadName +
                 kMenu + kAddGame + kMenu + kGames + "a=b===e\n" + kMenu + kApps + kMenu,
       .games_after = file("a=b===e\r\n"), .apps_after = file("")},
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

      // Disk faults while writing: the session goes on with every entry, and
      // the status says whether the last write failed.
      {.name = "GamesOnFullDisk", .not_on_windows = kLinuxDevice, .games = kFullDevice, .input = "3 A e:\\a\n4 B e:\\b\n7\n8\n",
       .output = kMenu + kAddGame + kMenu + kAddApp + kMenu + couldNotWrite("games.ini", kNoSpace, location("apps.ini") + " was written") + kMenu,
       .apps_after = file("B==e:\\b\r\n"), .status = 1},
      {.name = "FailedWriteKeepsEntries", .fault = Fault::kAppsBecomesFolder,
       .input = "3 A e:\\a\n7\n5\n8\n",
       .output = kMenu + kAddGame + kMenu + couldNotWrite("apps.ini", kIsFolder) + kMenu + kGames + "A==e:\\a\n" + kMenu,
       .apps_after = kFolder, .status = 1},
      {.name = "WriteAgainOnceMended", .fault = Fault::kAppsBecomesFolder, .input = "3 A e:\\a\n7\n",
       .then = {"Could not write", "rm -r hvn/ini/apps.ini", "7\n"},
       .output = kMenu + kAddGame + kMenu + couldNotWrite("apps.ini", kIsFolder) + kMenu,
       .games_after = file("A==e:\\a\r\n"), .apps_after = file("")},
      // Another file put at the name between two looks is neither read nor
      // written (the writer's own moments are rows of its table).
      {.name = "SwappedBeforeTheCheckOpensIt", .not_on_windows = kPreloaded, .input = "8\n",
       .start = {.fault = "openat games.ini run", .fault_run = "echo S==s > s && mv s hvn/ini/games.ini"},
       .output = kCheckFailed, .errors = cannotRead("games.ini", kSwapped), .games_after = file("S==s\n"), .status = 1},
      {.name = "FullFileSystemKeepsOldFile", .input = fill_apps + "7\n7\n",
       .output = repeat(kMenu + kAddApp, 40) + kMenu + couldNotWrite("apps.ini.bak", kNoSpace, kNoBackup) + kMenu +
                 couldNotWrite("apps.ini", kNoSpace) + kMenu, .status = 1, .prepare = smallDisk},
      // A backup that cannot be made is said, and 7 again writes without.
      {.name = "BackupBlockedThenWrittenWithout", .input = "4 B e:\\b\n7\n7\n",
       .output = kMenu + kAddApp + kMenu + couldNotWrite("apps.ini.bak", kIsFolder, kNoBackup) + kMenu,
       .games_after = file(""), .apps_after = file("B==e:\\b\r\n"), .status = 0,
       .prepare = [](const fs::path& folder, Scratch&) -> std::string { return fs::create_directory(menuPath(folder, "apps.ini.bak")) ? "" : "no folder"; },
       .look = {backupsOf, "apps.ini.bak: folder"}},
      // Another user's links and folders: root in a folder nobody controls.
      // A link or file that another user could have planted is neither read
      // nor written, and the refusal says which step and whose.
      {.name = "LinkToRootOnlyPlantedBeforeStart", .not_on_windows = kRunsAsNobody, .apps = linkTo(kOldApps),
       .input = "4 B e:\\b\n7\n8\n", .output = kCheckFailed,
       .errors = "Cannot read " + location("apps.ini") + " in {folder}: " + plantedLink("apps.ini") + "\n",
       .apps_after = FileState{Kind::kLinkToFile, kOldApps, fs::perms(0600)}, .status = 1, .prepare = nobodysFolder},
      {.name = "FifoBehindPlantedLinkNeverOpened", .not_on_windows = kRunsAsNobody, .games = linkTo(kOldGames),
       .input = "8\n", .output = kCheckFailed,
       .errors = "Cannot read " + location("games.ini") + " in {folder}: " + plantedLink("games.ini") + "\n",
       .games_after = FileState{Kind::kLinkToFile, "a FIFO", fs::perms(0644)}, .status = 1, .prepare = fifoWithWriter,
       .look = {fifoOpened, "not opened"}},
      // What protects no one is followed: a user's own link to anywhere, and
      // a user's own file in a folder another user shares.
      // A real copy-on-write disk whose quota is used up.
      {.name = "QuotaUsedUpOnBtrfsLeavesTheMenu", .not_on_windows = "a btrfs image is mounted by Linux",
       .apps = file(kLongMenu), .input = "4 B e:\\b\n7\n7\n8\n",
       .output = kMenu + kAddApp + kMenu + couldNotWrite("apps.ini.bak", kQuota, kNoBackup) + kMenu +
                 couldNotWrite("apps.ini", kQuota) + kMenu,
       .status = 1, .prepare = btrfsWithQuota},
      {.name = "AppendOnlyFolderLeavesNoCopies", .not_on_windows = "Windows has no append-only folders",
       .input = "4 B e:\\b\n7\n7\n",
       .output = kMenu + kAddApp + kMenu + couldNotWrite("apps.ini.bak", kNotPermitted, kNoBackup) + kMenu,
       .games_after = file(""),
       .apps_after = file("B==e:\\b\r\n"), .prepare = appendOnlyFolder},

      // Descriptors and files that could stall or cut short the session.
      {.name = "CheckFailedWaitsForKey", .games = kNoFile, .input = "x", .pace = Pace::kInputLate,
       .output = kCheckFailed, .status = 1},
      {.name = "GamesIsFifo", .not_on_windows = kNoFifo, .games = kFifo, .input = "8\n", .output = kCheckFailed,
       .errors = cannotRead("games.ini", {"not a file", ""}), .status = 1},
      {.name = "AppsIsFifo", .not_on_windows = kNoFifo, .apps = kFifo, .input = "8\n", .output = kCheckFailed, .status = 1},
      {.name = "AppsBecameFifo", .not_on_windows = kNoFifo, .fault = Fault::kAppsBecomesFifo, .input = "4 B e:\\b\n7\n8\n",
       .output = kMenu + kAddApp + kMenu + couldNotWrite("apps.ini", kNoReader) + kMenu, .apps_after = kFifo,
       .status = 1},
      {.name = "NonBlockingInputFedLate", .input = "3 A e:\\a\n7\n", .pace = Pace::kInputLate,
       .start = {.nonblocking_input = true}, .output = kMenu + kAddGame + kMenu,
       .games_after = file("A==e:\\a\r\n"), .apps_after = file("")},
      {.name = "NonBlockingOutputReadLate", .input = repeat("9\n", 2000) + "8\n",
       .pace = Pace::kReadLate, .start = {.nonblocking_output = true},
       .output = kMenu + repeat(kNext + kMenu, 2000)},
      {.name = "OutputReaderGone", .input = "3 A e:\\a\n7\n", .pace = Pace::kReaderGone,
       .games_after = file("A==e:\\a\r\n"), .apps_after = file("")},

      // The command line.
      {.name = "Version", .args = {"--version"}, .games = kNoHvnFolder,
       .output = "Halvane menu creator 1.0\n", .errors = ""},
      {.name = "UnknownOption", .args = {"--kep"}, .input = "7\n", .errors = usageError("unknown option '--kep'"),
       .status = 2},
      {.name = "VersionLost", .not_on_windows = kLinuxDevice, .args = {"--version"}, .start = {.output_path = "full-device"},
       .errors = "halvane-menu: write error: No space left on device\n", .status = 1, .prepare = makeFullDevice},
      {.name = "HelpLost", .not_on_windows = kLinuxDevice, .args = {"--help"}, .start = {.output_path = "full-device"},
       .errors = "halvane-menu: write error: No space left on device\n", .status = 1, .prepare = makeFullDevice},
      {.name = "HelpToAGoneReader", .args = {"--help"}, .games = kNoHvnFolder, .pace = Pace::kReaderGone, .errors = ""},
      {.name = "StrayWord", .args = {"--keep", "games"}, .games = kNoHvnFolder, .input = "x",
       .errors = usageError("one option at most, not also 'games'"), .status = 2},

      // Starting from the menus on disk.
      {.name = "KeepRoundTrip", .args = {"--keep"}, .games = file(kKeptGames), .apps = file(kKeptApps),
       .input = "5\n6\n7\n",
       .output = kKeepMenu + kGames + "Racer==e:\\games\\racer\\default.xbe\nautoadd==f:\\games\\\n" + kChoose +
                 kApps + "Walker==e:\\dirwalker\\default.xbe\n" + kChoose + wrote(2, 1),
       .errors = "", .games_after = file(kKeptGames), .apps_after = file(kKeptApps)},
      {.name = "KeepThenAdd", .args = {"--keep"}, .games = file(kKeptGames), .input = "3\nNew\ne:\\n\n7\n",
       .output = kKeepMenu + kAddGame + "Added game 3: New==e:\\n\n" + kChoose + wrote(3, 1, "menu is in games.ini.bak"), .games_after = file(kKeptGames + "New==e:\\n\r\n"),
       .apps_after = file(kOldApps), .look = {backupsOf, "games.ini.bak: " + kKeptGames}},
      {.name = "KeepLineEnds", .args = {"--keep"}, .games = file("\nA==e:\\a\n\r\n\nB==e:\\b\r\nC==c"),
       .apps = file("\r"), .input = "7\n", .output = kKeepMenu + wrote(3, 0, "menu is in games.ini.bak"),
       .games_after = file("A==e:\\a\r\nB==e:\\b\r\nC==c\r\n"), .apps_after = file("")},
      {.name = "KeepOddLinesAsTheyAre", .args = {"--keep"}, .games = file(kOddLines), .input = "7\n",
       .output = kKeepMenu + wrote(7, 1), .games_after = file(kOddLines)},
      {.name = "KeepFullList", .args = {"--keep"}, .games = file(repeat("G==e:\\g\r\n", 255)),
       .input = "3\nX\ne:\\x\n8\n", .output = kKeepMenu + kAddGame + "List is full\n" + kChoose},
      {.name = "KeepNoSeparator", .args = {"--keep"}, .games = file("A==a\r\n\r\nB=b\r\n"), .input = "8\n",
       .errors = cannotKeep("games.ini", 3, "no \"==\" in the line"), .status = 1},
      {.name = "KeepGamesFaultFirst", .args = {"--keep"}, .games = file("A\r\n"), .apps = file("B\r\n"),
       .input = "8\n", .errors = cannotKeep("games.ini", 1, "no \"==\" in the line"), .status = 1},
      {.name = "KeepAfterFileCheck", .args = {"--keep"}, .apps = kNoFile, .input = "8\n",
       .output = kCheckFailed, .status = 1},
      {.name = "KeepEndlessDevice", .not_on_windows = kLinuxDevice, .args = {"--keep"}, .games = kZeroDevice,
       .input = "8\n", .errors = cannotKeep("games.ini", 1, "zero byte in the line"), .status = 1},
      {.name = "KeepFifoSwappedIn", .not_on_windows = kPreloaded, .args = {"--keep"}, .input = "8\n",
       .start = {.fault = "fstatat games.ini after close games.ini run", .fault_run = "rm hvn/ini/games.ini && mkfifo hvn/ini/games.ini"}, .errors = cannotKeep("games.ini", 1, "could not be read"),
       .games_after = kFifo, .status = 1},
      {.name = "KeepReadInterrupted", .not_on_windows = kPreloaded, .args = {"--keep"}, .games = file(kKeptGames),
       .input = "5\n8\n", .start = {.fault = "read games.ini EINTR"},
       .output = kKeepMenu + kGames + "Racer==e:\\games\\racer\\default.xbe\nautoadd==f:\\games\\\n" + kChoose},
      {.name = "KeepReadFails", .not_on_windows = kPreloaded, .args = {"--keep"}, .input = "8\n",
       .start = {.fault = "read games.ini EIO"}, .errors = cannotKeep("games.ini", 1, "could not be read"), .status = 1},

      // Editing with --keep: moves, changes, answers as whole lines.
      {.name = "MoveEntries", .args = {"--keep"}, .games = file("A==a\r\nB==b\r\nC==c\r\n"),
       .apps = file("P==p\r\nQ==q\r\n"), .input = "m\n1\n3\nM\n2\n2\nn\n2\n1\n3\nD\nd\nm\n4\n1\n7\n",
       .output = kKeepMenu + numbered({"A==a", "B==b", "C==c"}) + kMoveGame + "Moved game 1 to 3: A==a\n" + kChoose +
                 numbered({"B==b", "C==c", "A==a"}) + kMoveGame + kNothingChanged + kChoose + numbered({"P==p", "Q==q"}) +
                 kMoveApp + "Moved App 2 to 1: Q==q\n" + kChoose + kAddGame + "Added game 4: D==d\n" + kChoose +
                 numbered({"B==b", "C==c", "A==a", "D==d"}) + kMoveGame + "Moved game 4 to 1: D==d\n" + kChoose + wrote(4, 2, "menus are in games.ini.bak and apps.ini.bak"),
       .games_after = file("D==d\r\nB==b\r\nC==c\r\nA==a\r\n"), .apps_after = file("Q==q\r\nP==p\r\n")},
      {.name = "MoveNothingForABadNumber", .args = {"--keep"}, .games = file("A==a\r\nB==b\r\n"),
       .input = "m\n3\nm\n1\n0\nm\nx\n8\n",
       .output = kKeepMenu + numbered({"A==a", "B==b"}) + "Enter number of game to move\nNo such entry, nothing moved\n" +
                 kChoose + numbered({"A==a", "B==b"}) + kMoveGame + "No such entry, nothing moved\n" + kChoose +
                 numbered({"A==a", "B==b"}) + "Enter number of game to move\nNo such entry, nothing moved\n" + kChoose},
      {.name = "MoveEndOfInputAtNumber", .args = {"--keep"}, .input = "m\n",
       .output = kKeepMenu + numbered({"Old==e:\\old\\default.xbe"}) + "Enter number of game to move\n"},
      {.name = "MoveEndOfInputAtNewNumber", .args = {"--keep"}, .input = "n\n1\n",
       .output = kKeepMenu + numbered({"OldApp==e:\\oldapp\\default.xbe"}) + kMoveApp},
      {.name = "ChangeEntries", .args = {"--keep"}, .games = file(kKeptGames), .apps = file(kKeptApps),
       .input = "e\n1\nRacer 2\ne:\\games\\racer 2\\default.xbe\nE\n2\nf:\\new games\nf\n1\nWalker Two\ne:\\w2.xbe\n7\n",
       .output = kKeepMenu + numbered({"Racer==e:\\games\\racer\\default.xbe", "autoadd==f:\\games\\"}) + kChangeGame +
                 now("Racer==e:\\games\\racer\\default.xbe") + kAddGame +
                 "Changed game 1: Racer 2==e:\\games\\racer 2\\default.xbe\n" + kChoose +
                 numbered({"Racer 2==e:\\games\\racer 2\\default.xbe", "autoadd==f:\\games\\"}) + kChangeGame +
                 now("autoadd==f:\\games\\") + kAddGameDir + "Changed game 2: autoadd==f:\\new games\\\n" + kChoose +
                 numbered({"Walker==e:\\dirwalker\\default.xbe"}) + kChangeApp + now("Walker==e:\\dirwalker\\default.xbe") +
                 kAddApp + "Changed App 1: Walker Two==e:\\w2.xbe\n" + kChoose + wrote(2, 1, "menus are in games.ini.bak and apps.ini.bak"),
       .games_after = file("Racer 2==e:\\games\\racer 2\\default.xbe\r\nautoadd==f:\\new games\\\r\n"),
       .apps_after = file("Walker Two==e:\\w2.xbe\r\n")},
      {.name = "ChangeRefusedLeavesTheEntry", .args = {"--keep"}, .games = file("R==e:\\r\r\n"),
       .input = "e\n1\nR\nhd:\\x\ne\n1\na==b\ne\n1\n\n\n5\n8\n",
       .output = kKeepMenu + numbered({"R==e:\\r"}) + kChangeGame + now("R==e:\\r") + kAddGame + kBadPath + kChoose +
                 numbered({"R==e:\\r"}) + kChangeGame + now("R==e:\\r") + kGameName + kBadName + kChoose +
                 numbered({"R==e:\\r"}) + kChangeGame + now("R==e:\\r") + kAddGame + kNothingChanged + kChoose + kGames +
                 "R==e:\\r\n" + kChoose},
      {.name = "AnswersAreLines", .args = {"--keep"}, .games = file(""),
       .input = " \t 3 \t\n\tHalo 2  \n  e:\\games\\halo 2\\default.xbe\t\n3\nHalo e:\\h\ne:\\h2\n\n   \n3\n\n1\n \t\n5\n8\n8\n",
       .output = kKeepMenu + kAddGame + "Added game 1: Halo 2==e:\\games\\halo 2\\default.xbe\n" + kChoose + kAddGame +
                 "Added game 2: Halo e:\\h==e:\\h2\n" + kChoose + kKeepMenu + kKeepMenu + kGameName + kNothingChanged +
                 kChoose + kAddGameDir + kNothingChanged + kChoose + kGames +
                 "Halo 2==e:\\games\\halo 2\\default.xbe\nHalo e:\\h==e:\\h2\n" + kChoose + kUnwritten + kChoose},
      {.name = "LongLineRefused", .args = {"--keep"}, .input = "3\n" + std::string(8000, 'n') + "\n5\n8\n",
       .output = kKeepMenu + kGameName + "Name or path too long\n" + kChoose + kGames + "Old==e:\\old\\default.xbe\n" +
                 kChoose},
      {.name = "WholeLineChoices", .args = {"--keep"}, .input = "exit\nX\n5\n8\n",
       .output = kKeepMenu + "No such choice: exit\n" + kChoose + "No such choice: X\n" + kChoose + kGames +
                 "Old==e:\\old\\default.xbe\n" + kChoose},
      {.name = "NameJudgedBeforePath", .args = {"--keep"}, .input = "3\na==b\n8\n",
       .output = kKeepMenu + kGameName + kBadName + kChoose},
      // The path alone, then the name alone.
      {.name = "ChangeKeepsAnEmptyAnswer", .args = {"--keep"}, .input = "e\n1\n\ne:\\new\ne\n1\nNew\n\n7\n",
       .output = kKeepMenu + numbered({"Old==e:\\old\\default.xbe"}) + kChangeGame + now("Old==e:\\old\\default.xbe") +
                 kAddGame + "Changed game 1: Old==e:\\new\n" + kChoose + numbered({"Old==e:\\new"}) + kChangeGame +
                 now("Old==e:\\new") + kAddGame + "Changed game 1: New==e:\\new\n" + kChoose +
                 wrote(1, 1, "menu is in games.ini.bak"),
       .games_after = file("New==e:\\new\r\n")},
      {.name = "SameKeysWithoutKeep", .input = "m\nE\n3\nHalo 2\n5\n8\n",
       .output = kMenu + kNext + kMenu + kNext + kMenu + kAddGame + kMenu + kGames + "Halo==2\n" + kMenu},
      {.name = "AppendedElsewhereNotOverwrittenUnasked", .args = {"--keep"}, .fault = Fault::kAppsAppendedTo,
       .input = "3\nNew\ne:\\n\n7\n7\n",
       .output = kKeepMenu + kAddGame + "Added game 2: New==e:\\n\n" + kChoose + location("apps.ini") + " changed since it was read; 7 again replaces it\n" +
                 kChoose + wrote(2, 1, "menus are in games.ini.bak and apps.ini.bak"),
       .games_after = file(kOldGames + "New==e:\\n\r\n")},
      {.name = "RenamedOverElsewhereNotOverwrittenUnasked", .args = {"--keep"}, .fault = Fault::kGamesRenamedOver,
       .input = "7\n8\n",
       .output = kKeepMenu + location("games.ini") + " changed since it was read; 7 again replaces it\n" + kChoose},
      // At every 7: a file changed since it was last read, written or named.
      {.name = "EditedAfterTheFirstNaming", .args = {"--keep"}, .fault = Fault::kAppsAppendedTo, .input = "7\n",
       .then = {"changed since it was read", "printf 'E==e\\r\\n' >> hvn/ini/games.ini", "7\n7\n"},
       .output = kKeepMenu + changedElsewhere("apps.ini") + kChoose + changedElsewhere("games.ini") + kChoose +
                 wrote(1, 1, "menus are in games.ini.bak and apps.ini.bak")},
      {.name = "EditedAfterAFailedSave", .args = {"--keep"}, .apps = file(kOldApps, fs::perms(0444)),
       .input = "3\nA\ne:\\a\n7\n",
       .then = {"Could not write", "chmod 644 hvn/ini/apps.ini && printf 'E==e\\r\\n' >> hvn/ini/games.ini", "7\n7\n"},
       .output = kKeepMenu + kAddGame + "Added game 2: A==e:\\a\n" + kChoose + couldNotWrite("apps.ini", kReadOnly) + kChoose +
                 changedElsewhere("games.ini") + kChoose + wrote(2, 1, "menu is in games.ini.bak"),
       .games_after = file(kOldGames + "A==e:\\a\r\n"), .apps_after = file(kOldApps), .look = {backupsOf,
       "games.ini.bak: " + kOldGames + "E==e\r\n"}},
      {.name = "SameLengthEditSeen", .args = {"--keep"}, .fault = Fault::kGamesFirstByteChanged, .input = "7\n7\n",
       .output = kKeepMenu + changedElsewhere("games.ini") + kChoose + wrote(1, 1, "menu is in games.ini.bak")},
      {.name = "SameLengthEditInALongMenuSeen", .args = {"--keep"}, .games = file(kLongMenu),
       .fault = Fault::kGamesFirstByteChanged, .input = "7\n7\n",
       .output = kKeepMenu + changedElsewhere("games.ini") + kChoose + wrote(250, 1, "menu is in games.ini.bak")},
      {.name = "RemovedBeforeSaveSeen", .args = {"--keep"}, .fault = Fault::kGamesVanishes, .input = "7\n7\n",
       .output = kKeepMenu + changedElsewhere("games.ini") + kChoose + wrote(1, 1)},
      {.name = "KeepUtf16Refused", .args = {"--keep"}, .apps = file(std::string("\xFF\xFE" "A\0=\0=\0a\0", 10)),
       .input = "8\n", .errors = cannotKeep("apps.ini", 1, "UTF-16 text (saved as Unicode), not ANSI or UTF-8"),
       .status = 1},
      {.name = "KeepByteOrderMarkDropped", .args = {"--keep"}, .games = file("\xEF\xBB\xBFRacer==e:\\r\r\n"),
       .input = "7\n", .output = kKeepMenu + wrote(1, 1, "menu is in games.ini.bak"), .games_after = file("Racer==e:\\r\r\n")},
      {.name = "NameWithByteOrderMarkRefused", .input = "3 \xEF\xBB\xBFx e:\\x\n8\n",
       .output = kMenu + kAddGame + "Name may not start with a byte-order mark\n" + kMenu},
      // Removing, with --keep: kept and typed entries alike, then listing and writing.
      {.name = "RemoveFirstMiddleLast", .args = {"--keep"}, .games = file("A==a\r\nB==b\r\nC==c\r\n"),
       .apps = file("P==p\r\nQ==q\r\n"), .input = "3\nD\nd\n9\n1\n9\n2\n9\n2\n0\n2\n5\n6\n7\n",
       .output = kKeepMenu + kAddGame + "Added game 4: D==d\n" + kChoose + numbered({"A==a", "B==b", "C==c", "D==d"}) +
                 kRemoveGame + "Removed game 1: A==a\n" + kChoose + numbered({"B==b", "C==c", "D==d"}) + kRemoveGame +
                 "Removed game 2: C==c\n" + kChoose + numbered({"B==b", "D==d"}) + kRemoveGame + "Removed game 2: D==d\n" +
                 kChoose + numbered({"P==p", "Q==q"}) + kRemoveApp + "Removed App 2: Q==q\n" +
                 kChoose + kGames + "B==b\n" + kChoose + kApps + "P==p\n" + kChoose + wrote(1, 1, "menus are in games.ini.bak and apps.ini.bak"),
       .games_after = file("B==b\r\n"), .apps_after = file("P==p\r\n")},
      {.name = "RemoveNothingForABadNumber", .args = {"--keep"}, .games = file("A==a\r\nB==b\r\n"),
       .input = "9\n0\n9\n3\n9\nx\n9\n1a\n9\n-1\n9\n+1\n9\n4294967297\n9\n" + std::string(300, '0') + "1\n9\n02\n5\n8\n",
       .output = kKeepMenu + repeat(numbered({"A==a", "B==b"}) + kRemoveGame + kNothingRemoved + kChoose, 8) +
                 numbered({"A==a", "B==b"}) + kRemoveGame + "Removed game 2: B==b\n" + kChoose + kGames + "A==a\n" + kChoose +
                 kUnwritten + kChoose,
       .errors = "Input ended before 7; changes not written\n", .status = 1},
      {.name = "RemoveFromEmptyList", .args = {"--keep"}, .games = file(""), .apps = file(""), .input = "9\n0\n8\n",
       .output = kKeepMenu + "No game to remove\n" + kChoose + "No App to remove\n" + kChoose},
      {.name = "RemoveEndOfInput", .args = {"--keep"}, .apps = file("P==p\r\n"), .input = "0\n",
       .output = kKeepMenu + numbered({"P==p"}) + kRemoveApp},
      {.name = "RemoveFromALongList", .args = {"--keep"}, .games = file(repeat("G==g\r\n", 11) + "L==l\r\n"),
       .input = "9\n12\n5\n8\n8\n",
       .output = kKeepMenu + numbered(std::vector<std::string>(11, "G==g")) + " 12. L==l\n" + kRemoveGame + "Removed game 12: L==l\n" +
                 kChoose + kGames + repeat("G==g\n", 11) + kChoose + kUnwritten + kChoose},
  };
}


void create(const fs::path& folder, const std::string& file, const FileState& state) {
  const fs::path path = folder / "hvn" / "ini" / file;
  switch (state.kind) {
    case Kind::kAbsent:
    case Kind::kNoHvnFolder: break;
    case Kind::kFolder: fs::create_directory(path); break;
    case Kind::kLinkToFullDevice:
      // The test's own node, never the system's /dev/full: a faulty writer
      // would replace whatever the link names.
      mknod((folder / "full-device").c_str(), S_IFCHR | 0666, makedev(1, 7));
      fs::create_symlink(folder / "full-device", path);
      break;
    case Kind::kFifo: mkfifo(path.c_str(), 0644); break;
    case Kind::kZeroDevice: mknod(path.c_str(), S_IFCHR | 0644, makedev(1, 5)); break;
    case Kind::kLinkToFile:
      fs::create_directories(linkTarget(folder, file).parent_path());
      writeFile(linkTarget(folder, file), state);
      fs::create_symlink(linkTarget(folder, file), path);
      break;
    case Kind::kHardLinkedFile:
      writeFile(path, state);
      fs::create_hard_link(path, otherName(folder, file));
      break;
    case Kind::kFile:
    case Kind::kUnreadableFile: writeFile(path, state); break;
  }
}

FileState observe(const fs::path& folder, const std::string& file) {
  fs::path path = folder / "hvn" / "ini" / file;
  const fs::file_status status = fs::symlink_status(path);
  if (fs::is_symlink(status)) {
    const fs::path target = fs::read_symlink(path);
    if (target == folder / "full-device" && fs::is_character_file(target)) return kFullDevice;
    if (target != linkTarget(folder, file)) return {Kind::kLinkToFile, "to " + target.string()};
    if (fs::is_fifo(target)) return {Kind::kLinkToFile, "a FIFO"};  // never opened: it could wait
    path = target;
  } else if (!fs::exists(status)) {
    return kNoFile;
  } else if (fs::is_directory(status)) {
    return kFolder;
  } else if (fs::is_fifo(status)) {
    return kFifo;
  } else if (fs::is_character_file(status)) {
    return kZeroDevice;  // never read: it has no end
  }
  std::ifstream in(path, std::ios::binary);
  FileState state{Kind::kFile, {std::istreambuf_iterator<char>(in), {}}, fs::status(path).permissions()};
  if (fs::is_symlink(status)) state.kind = Kind::kLinkToFile;
  if (fs::exists(path) && fs::hard_link_count(path) > 1 && fs::equivalent(path, otherName(folder, file)))
    state.kind = Kind::kHardLinkedFile;
  if (state.mode == fs::perms::none) state.kind = Kind::kUnreadableFile;
  return state;
}

std::string describe(const FileState& state) {
  static const char* const kKinds[] = {"absent", "file", "folder", "unreadable file", "link to a full device",
                                       "FIFO", "link to a file", "hard-linked file", "zero device", "no hvn folder"};
  const bool has_mode = state.kind == Kind::kFile || state.kind == Kind::kLinkToFile ||
                        state.kind == Kind::kHardLinkedFile;
  char mode[8] = "";
  if (has_mode) std::snprintf(mode, sizeof mode, " %03o", static_cast<unsigned>(state.mode));
  return std::string(kKinds[static_cast<int>(state.kind)]) + mode + ": " + state.content;
}

fs::path faultedFile(Fault fault, const fs::path& ini) {
  switch (fault) {
    case Fault::kAppsBecomesFolder:
    case Fault::kAppsBecomesFifo:
    case Fault::kAppsAppendedTo: return ini / "apps.ini";
    default: return ini / "games.ini";
  }
}

void applyFault(Fault fault, const fs::path& ini) {
  if (fault == Fault::kNone) return;
  const fs::path path = faultedFile(fault, ini);
  if (fault == Fault::kGamesFirstByteChanged) {
    std::fstream menu(path, std::ios::in | std::ios::out | std::ios::binary);
    const char first = static_cast<char>(menu.get() ^ 1);
    menu.seekp(0).put(first);
    return;
  }
  if (fault == Fault::kAppsAppendedTo || fault == Fault::kGamesRenamedOver) {
    const std::string old = contentOf(path);
    std::ofstream(path.string() + ".new", std::ios::binary) << (fault == Fault::kAppsAppendedTo ? "X==x\r\n" : old);
    if (fault == Fault::kAppsAppendedTo) std::ofstream(path, std::ios::binary | std::ios::app) << "X==x\r\n";
    if (fault == Fault::kGamesRenamedOver) fs::rename(path.string() + ".new", path);
    fs::remove(path.string() + ".new");
    return;
  }
  fs::remove(path);
  if (fault == Fault::kAppsBecomesFolder) fs::create_directory(path);
  if (fault == Fault::kAppsBecomesFifo) mkfifo(path.c_str(), 0644);
}

// Everything in the session's folder that is neither a menu file nor one of
// the names the rows set up, such as a temporary file left behind.
std::vector<std::string> strayFiles(const fs::path& folder) {
  static const std::set<std::string> kExpected = {
      "hvn", "hvn/ini", "hvn/ini/games.ini", "hvn/ini/apps.ini", "elsewhere", "elsewhere/games.ini",
      "elsewhere/apps.ini", "hvn/ini/other-name-games.ini", "hvn/ini/other-name-apps.ini", "program",
      "bound-apps.ini", "full-device", "halvane-menu.exe", "Edit menus.cmd", "hvn/ini/games.ini.bak",
      "hvn/ini/apps.ini.bak", "elsewhere/games.ini.bak", "elsewhere/apps.ini.bak", "btrfs.img", "hvn/ini/filler"};
  std::vector<std::string> stray;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder)) {
    const std::string name = entry.path().lexically_relative(folder).string();
    if (kExpected.count(name) == 0) stray.push_back(name);
  }
  return stray;
}

// A Windows program sees the console's line end as CR LF.
std::string onConsole(const std::string& text) {
  if (!targetIsWindows()) return text;
  std::string result;
  for (char c : text) result += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return result;
}

// What the program wrote on standard error, without the fault library's
// notes of the faults it made.
std::string programErrors(const std::string& path) {
  std::istringstream lines(contentOf(path));
  std::string errors;
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("hvn-fault: ", 0) != 0) errors += line + (lines.eof() ? "" : "\n");
  return errors;
}

// `text` with {folder} replaced by `folder` as the program names it.
std::string inFolder(std::string text, const fs::path& folder) {
  std::string name = folder.string();
  if (targetIsWindows()) {
    std::replace(name.begin(), name.end(), '/', '\\');
    name = "Z:" + name;
  }
  if (const std::size_t at = text.find("{folder}"); at != std::string::npos) text.replace(at, 8, name);
  return text;
}

bool menuShown(const std::string& output) { return output.find(onConsole(kMenu)) != std::string::npos; }

class EndToEnd : public testing::TestWithParam<Case> {};

TEST_P(EndToEnd, Session) {
  const Case& c = GetParam();
  if (targetIsWindows() && c.not_on_windows != nullptr) GTEST_SKIP() << c.not_on_windows;
  const bool unprivileged = c.games.kind == Kind::kUnreadableFile || c.start.unprivileged;
  const bool no_hvn_folder = c.games.kind == Kind::kNoHvnFolder;

  std::vector<std::string> command = c.start.fault != nullptr ? faultedProgram() : commandFromEnvironment("HVN_PROGRAM");
  if (command.empty() && targetIsWindows()) GTEST_SKIP() << "no Windows program with the fault library";
  ASSERT_FALSE(command.empty()) << "HVN_PROGRAM names no program";
  command.insert(command.end(), c.args.begin(), c.args.end());
  Scratch scratch;
  const fs::path folder = scratch.folder;
  const fs::path ini = folder / "hvn" / "ini";
  if (unprivileged) {
    if (getuid() == 0 && getpwnam("nobody") == nullptr)
      GTEST_SKIP() << "running as root and there is no user nobody to run as";
    // User nobody may not be able to reach the build folder: run a copy.
    fs::copy_file(command[0], folder / "program");
    command[0] = (folder / "program").string();
  }
  if (!no_hvn_folder) {
    fs::create_directories(ini);
    create(folder, "games.ini", c.games);
    create(folder, "apps.ini", c.apps);
    if (c.games.kind == Kind::kZeroDevice && access((ini / "games.ini").c_str(), R_OK) != 0)
      GTEST_SKIP() << "cannot make and open a device node here: " << std::strerror(errno);
    if ((c.games.kind == Kind::kLinkToFullDevice || c.apps.kind == Kind::kLinkToFullDevice) &&
        access((folder / "full-device").c_str(), W_OK) != 0)
      GTEST_SKIP() << "cannot make and open a device node here: " << std::strerror(errno);
    if (c.prepare != nullptr)
      if (const std::string why = c.prepare(folder, scratch); !why.empty()) GTEST_SKIP() << why;
  }

  StartOptions options = c.start;
  options.unprivileged = unprivileged;
  Child child = startProgram(command, folder, scratch.errors, options);
  if (c.pace == Pace::kReaderGone) closeOutput(child);
  if (c.fault != Fault::kNone) {
    ASSERT_TRUE(converse(child, "", menuShown, timeoutMs()) && menuShown(child.output))
        << "no menu appeared; output: " << child.output;
    applyFault(c.fault, ini);
  }
  if (c.pace == Pace::kInputLate) {
    ASSERT_TRUE(converse(child, "", [](const std::string& out) { return !out.empty(); }, timeoutMs()));
    usleep(200 * 1000);
    EXPECT_TRUE(isRunning(child)) << "the program ended before its input arrived";
  }
  std::string_view input = c.input;
  if (c.pace == Pace::kReadLate) {
    ASSERT_EQ(write(child.input_fd, input.data(), input.size()), static_cast<ssize_t>(input.size()));
    input = {};
    usleep(300 * 1000);
  }
  if (!c.then.seen.empty()) {
    const auto seen = [&](const std::string& out) { return out.find(onConsole(c.then.seen)) != std::string::npos; };
    ASSERT_TRUE(converse(child, input, seen, timeoutMs())) << child.output;
    ASSERT_EQ(std::system(("cd '" + folder.string() + "' && " + c.then.command).c_str()), 0) << c.then.command;
    input = c.then.input;
  }
  const int status = finish(child, input, timeoutMs());

  EXPECT_EQ(child.output, onConsole(c.output));
  if (c.errors) {
    EXPECT_EQ(programErrors(scratch.errors), onConsole(inFolder(*c.errors, folder)));
  }
  EXPECT_EQ(status, c.status);
  // Each fault a row names strikes: a name that matches no call fails.
  const std::string faults = c.start.fault != nullptr ? c.start.fault : "";
  const std::string seen = contentOf(scratch.errors);
  const std::regex struck("hvn-fault: struck ");
  EXPECT_EQ(std::count(faults.begin(), faults.end(), ',') + (faults.empty() ? 0 : 1),
            std::distance(std::sregex_iterator(seen.begin(), seen.end(), struck), std::sregex_iterator()))
      << "a fault struck no call: " << faults;
  if (no_hvn_folder) {
    EXPECT_FALSE(fs::exists(folder / "hvn"));
  } else {
    EXPECT_EQ(describe(observe(folder, "games.ini")), describe(c.games_after.value_or(c.games)));
    EXPECT_EQ(describe(observe(folder, "apps.ini")), describe(c.apps_after.value_or(c.apps)));
  }
  if (c.look.at != nullptr) {
    EXPECT_EQ(c.look.at(folder), c.look.shows);
  }
  EXPECT_EQ(strayFiles(folder), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Sessions, EndToEnd, testing::ValuesIn(cases()),
                         [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

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
  bool edit_menus = false;      // Edit menus.cmd and the program copied into the folder, and
                                // the command file started by cmd /c, as a double-click does
  FileState games = file(kOldGames);
  FileState apps = file(kOldApps);
  std::vector<Keys> keys;
  std::optional<int> status;              // unset: any way of ending counts
  std::optional<FileState> games_after;   // unset: as before
  std::optional<FileState> apps_after;    // unset: as before
};

void PrintTo(const ConsoleCase& c, std::ostream* out) { *out << c.name; }

const char* const kOwnWindowOnly = "only a Windows console window closes with its program";
// A console window of the program's own (Windows) waits for Enter after the
// program's last words, so that they can be read.
const int kOwnWindowWaits = 300;
std::vector<Keys> thenEnter(std::vector<Keys> keys) {
  if (targetIsWindows()) keys.push_back({"\r", ""});
  return keys;
}
const char* const kCmdFile = "a .cmd file is run by Windows' cmd";

std::vector<ConsoleCase> consoleCases() {
  // Linux's terminal keeps at most 4095 bytes of a line being typed; a
  // Windows console reads one in pieces of at most 16 KiB.
  const std::string pasted = "Racer" + std::string(targetIsWindows() ? 20000 : 4000, ' ') +
                             "e:\\r.xbe\r4\rApp\re:\\a\r";  // and a whole command after it
  // A Windows console hands the program its code page's byte: 0x82 for é in 437.
  const std::string e_acute = targetIsWindows() ? "\x82" : "\xc3\xa9";
  return {
      {.name = "TypedKeyByKey",
       .keys = thenEnter({{"", kMenu}, {"3\r", "3\n" + kGameName}, {"Racer\r", "Racer\n" + kGamePath},
                          {"e:\\r.xbe\r", "e:\\r.xbe\n" + kMenu}, {"5\r", "5\n" + kGames + "Racer==e:\\r.xbe\n" + kMenu},
                          {"7\r", "7\n"},
                          {"", wrote(1, 0, "menus are in games.ini.bak and apps.ini.bak"), false, true,
                           targetIsWindows() ? kOwnWindowWaits : 0}}),
       .status = 0, .games_after = file("Racer==e:\\r.xbe\r\n"), .apps_after = file("")},
      {.name = "LongLinePasted",
       .keys = thenEnter({{"", kMenu}, {"3\r", kGameName}, {pasted + "7\r", "", true}}),
       .status = 0, .games_after = file("Racer==e:\\r.xbe\r\n"), .apps_after = file("App==e:\\a\r\n")},
      {.name = "NonAsciiKey",
       .keys = thenEnter({{"", kMenu}, {"3\r", kGameName}, {"R\xc3\xa9\r", kGamePath}, {"e:\\x\r", kMenu},
                          {"5\r", kGames + "R\xc3\xa9==e:\\x\n" + kMenu}, {"7\r", "7\n"}}),
       .status = 0, .games_after = file("R" + e_acute + "==e:\\x\r\n"), .apps_after = file("")},
      {.name = "HintAtMoreWords",
       .keys = {{"", kMenu}, {"3\r", kGameName},
                {"Project Gotham\r", "Only 'Project' was taken as the name: here an answer is one word, the rest of the line "
                                      "answers what comes next; halvane-menu --keep takes names and paths with spaces\n",
                 false, true},
                {"8\r", ""}},
       .status = 0},
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
       .keys = {{"", usageError("unknown option '--kep'"), false, true, 300}, {"\r", ""}}, .status = 2},
      {.name = "KeepRefusalWaitsAtOwnConsole", .only_on_windows = kOwnWindowOnly, .args = {"--keep"},
       .games = file("A\r\n"),
       .keys = {{"", cannotKeep("games.ini", 1, "no \"==\" in the line"), false, true, 300},
                {"\r", ""}},
       .status = 1},
      {.name = "SharedConsoleDoesNotWait", .only_on_windows = "cmd shares a console only under Windows",
       .args = {"--kep"}, .shared_console = true, .status = 2},
      {.name = "EditMenusKeeps", .only_on_windows = kCmdFile, .edit_menus = true, .games = file(kKeptGames),
       .keys = {{"", kKeepMenu}, {"5\r", kGames + "Racer==e:\\games\\racer\\default.xbe\nautoadd==f:\\games\\\n" + kChoose},
                {"7\r", "Press any key to continue...", false, false, 300}, {"\r", ""}}},  // after a save too
      {.name = "EditMenusWaitsAfterARefusal", .only_on_windows = kCmdFile, .edit_menus = true, .games = file("A\r\n"),
       .keys = {{"", "Press any key to continue...", false, false, 300}, {"\r", ""}}},  // cmd's pause, in Wine's words
  };
}

// What a terminal shows, line by line: escape sequences (a Windows console
// host hides and shows the cursor, and erases to the end of a line instead of
// writing trailing spaces) and CRs dropped, trailing spaces cut.
std::string screenText(std::string_view raw) {
  std::string text;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\x1b' && i + 1 < raw.size() && raw[i + 1] == '[') {
      for (i += 2; i < raw.size() && !(raw[i] >= '@' && raw[i] <= '~');) ++i;
      continue;
    }
    if (raw[i] == '\r') continue;
    if (raw[i] == '\n')
      while (!text.empty() && text.back() == ' ') text.pop_back();
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
  if (c.shared_console || c.edit_menus) {
    fs::path started = command.back();
    if (c.edit_menus) {
      for (const char* file : {"halvane-menu.exe", "Edit menus.cmd"})
        fs::copy_file(fs::path(command.back()).parent_path() / file, scratch.folder / file);
      started = scratch.folder / "Edit menus.cmd";
    }
    std::string windows_path = "Z:" + started.string();
    std::replace(windows_path.begin(), windows_path.end(), '/', '\\');
    // The cmd of the program's own bitness: a 64-bit build runs under wine64.
    const bool wine64 = endsWith(command.front(), "wine64");
    command.back() = wine64 ? "C:\\windows\\system32\\cmd.exe" : "C:\\windows\\syswow64\\cmd.exe";
    command.insert(command.end(), {"/c", windows_path});
  }
  command.insert(command.end(), c.args.begin(), c.args.end());
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
    const std::string shown = screenText(inFolder(step.shown, scratch.folder));
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

// Each call of either system with the errors it really gives (on Windows,
// as its documentation and a disk, a share or another program give them),
// and how the writer meets a failure of it. `after` holds faults that must
// come first for the call to be made at all.
enum class Told {
  kInPlace,  // a failure while the file is written in place is reported
  kNever,    // never reported: a folder's flags (it may have none), a backup's owner (given where it may be)
  kLooks,    // Windows: a look at the file's security or streams, met by writing in place
};
enum class Waits {
  kNo,
  kOnAny,   // another program's hold (a sharing or lock violation, access denied) is waited out
  kOnMenu,  // the same, on the menu file itself alone
};
struct FaultCall {
  const char* call;
  std::vector<const char*> errors;
  bool windows = false;
  const char* after = "";
  Told told = Told::kInPlace;
  Waits waits = Waits::kNo;
};
const FaultCall kFaultCalls[] = {
    {"open", {"EACCES", "EIO", "ENOSPC"}},
    {"openat", {"EACCES", "EIO", "ENOSPC", "EROFS"}},
    {"fstatat", {"EACCES", "EIO"}},
    {"readlinkat", {"EACCES", "EIO"}},
    {"fstat", {"EIO"}},
    {"ioctl", {"ENOTTY", "EIO"}, false, "", Told::kNever},
    {"fchown", {"EPERM"}, false, "", Told::kNever},
    {"flistxattr", {"EIO", "ERANGE"}},
    {"fgetxattr", {"EIO"}},
    {"fsetxattr", {"EPERM", "ENOSPC"}},
    {"fchmod", {"EPERM", "EIO"}},
    {"pwrite", {"ENOSPC", "EIO", "EDQUOT", "EINTR"}},
    {"pwritev", {"ENOSPC", "EIO", "EINTR"}},
    {"ftruncate", {"EIO"}},
    {"fsync", {"EIO", "ENOSPC"}},
    {"close", {"EIO"}},
    {"renameat", {"EBUSY", "EPERM", "EXDEV", "EIO"}},
    {"unlinkat", {"EIO"}, false, "renameat apps.ini's backup EXDEV,unlinkat apps.ini's backup EIO,"},  // the second try too
    {"read", {"EIO", "EINTR"}},
    {"pread", {"EIO", "EINTR"}},
    {"write", {"EIO", "EINTR"}},
    {"GetFileAttributesA", {"ERROR_ACCESS_DENIED", "ERROR_PATH_NOT_FOUND", "ERROR_NETNAME_DELETED"}, true, "", Told::kLooks},
    {"CreateFileA", {"ERROR_ACCESS_DENIED", "ERROR_SHARING_VIOLATION", "ERROR_PATH_NOT_FOUND", "ERROR_DISK_FULL"}, true, "",
     Told::kLooks, Waits::kOnMenu},
    {"GetFullPathNameA", {"ERROR_FILENAME_EXCED_RANGE"}, true, "", Told::kLooks},
    {"GetFileType", {"ERROR_INVALID_HANDLE"}, true, "", Told::kLooks},
    {"GetFileInformationByHandle", {"ERROR_IO_DEVICE"}, true, "", Told::kLooks},
    {"MultiByteToWideChar", {"ERROR_NO_UNICODE_TRANSLATION"}, true, "", Told::kLooks},
    {"FindFirstStreamW", {"ERROR_ACCESS_DENIED"}, true, "", Told::kLooks},
    {"GetFileSecurityA", {"ERROR_ACCESS_DENIED", "ERROR_NOT_SUPPORTED"}, true, "", Told::kLooks},
    {"SetFileSecurityA", {"ERROR_ACCESS_DENIED"}, true, "", Told::kLooks},
    {"GetFileSizeEx", {"ERROR_IO_DEVICE"}, true, "", Told::kLooks},
    {"SetFilePointerEx", {"ERROR_IO_DEVICE"}, true, "", Told::kLooks, Waits::kOnAny},
    {"ReadFile", {"ERROR_IO_DEVICE", "ERROR_LOCK_VIOLATION", "ERROR_NETNAME_DELETED"}, true, "", Told::kLooks},
    {"WriteFile", {"ERROR_DISK_FULL", "ERROR_HANDLE_DISK_FULL", "ERROR_LOCK_VIOLATION", "ERROR_NETNAME_DELETED"}, true, "",
     Told::kInPlace, Waits::kOnAny},
    {"SetEndOfFile", {"ERROR_USER_MAPPED_FILE", "ERROR_DISK_FULL"}, true},
    {"FlushFileBuffers", {"ERROR_DISK_FULL", "ERROR_IO_DEVICE", "ERROR_NETNAME_DELETED"}, true},
    {"CloseHandle", {"ERROR_IO_DEVICE", "ERROR_NETNAME_DELETED"}, true},
    {"MoveFileExA", {"ERROR_ACCESS_DENIED", "ERROR_SHARING_VIOLATION", "ERROR_NOT_SAME_DEVICE", "ERROR_WRITE_PROTECT"}, true,
     "", Told::kLooks, Waits::kOnAny},
    {"DeleteFileA", {"ERROR_ACCESS_DENIED", "ERROR_IO_DEVICE"}, true, "MoveFileExA apps.ini's backup ERROR_NOT_SAME_DEVICE,",
     Told::kLooks, Waits::kOnAny},
    {"_open", {"EACCES", "EIO"}, true, "", Told::kLooks},
    {"_read", {"EIO"}, true, "", Told::kLooks},
    {"_fstat", {"EIO"}, true, "", Told::kLooks},
    {"_close", {"EIO"}, true, "", Told::kLooks},
};

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HVN_TESTS_SANITIZED
#endif
#endif
#ifdef HVN_TESTS_SANITIZED
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// The layouts a save is tried on (o ordinary, h hard-linked, s symbolically
// linked, k hard-linked with a menu that shrinks, r read-only, l held by
// another program, which fails every open of it); on Windows the ordinary
// one is replaced by a copy and a hard-linked one written in place. One that
// cannot be written is saved once.
struct FaultLayout {
  FileState state;
  char letter;
  int old_lines = 1;
  bool writable = true;
  const char* held = "";  // faults of the layout itself, before the others
};
// The held one first: its test takes longest, and ctest starts tests in
// this order.
const FaultLayout kFaultLayouts[] = {
    {file(""), 'l', 1, false, "CreateFileA apps.ini every ERROR_SHARING_VIOLATION,"},
    {file(""), 'o'}, {hardLinked(""), 'h'}, {linkTo(""), 's'}, {hardLinked(""), 'k', 3},
    {file("", fs::perms(0444)), 'r', 1, false}};

// The calls a session makes, as the fault library lists them: "fsync
// apps.ini's copy 1".
std::vector<std::string> listedCalls(const std::string& errors) {
  std::vector<std::string> calls;
  const std::regex listed("hvn-fault: call ([^(\n]*[0-9]+)( \\([a-z-]+\\))?\r?\n");
  for (std::sregex_iterator at(errors.begin(), errors.end(), listed), end; at != end; ++at) calls.push_back((*at)[1]);
  return calls;
}

// Every call the program makes to the system while it checks, reads and
// writes the menus, as a first run of the session lists them, failing in
// turn with each error that call really gives, and the program killed at
// each: whatever happens, each menu file holds its old bytes or its new
// bytes whole, nothing but a temporary file of the writer's (and that only
// after a kill) is left beside them, a failure is reported with the file and
// the system's reason, and the second 7 of the session then writes both
// where they can be written. A file written in place may hold blank lines
// after a kill, which a reader skips, but never a mix of old and new. On
// Windows the test build of the program holds the fault library.
class Faults : public testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(Faults, EveryCallFailingLeavesEachMenuWhole) {
  // Plain names, not a structured binding: a lambda below takes them.
  const FaultLayout& shape = kFaultLayouts[std::get<0>(GetParam())];
  const FileState& layout = shape.state;
  const bool writable = shape.writable;
  const char* const held_by_layout = shape.held;
  const FaultCall& tried = kFaultCalls[std::get<1>(GetParam())];
  const char* const call = tried.call;
  const bool windows = targetIsWindows();
  if (windows != tried.windows) GTEST_SKIP() << "a call of the other system";
  if (windows && layout.kind == Kind::kLinkToFile) GTEST_SKIP() << "Wine shows a Windows program the file a link names";
  if (!windows && *held_by_layout != '\0') GTEST_SKIP() << "a file held open by another program is Windows's";
  // A held file stops a save at once, after two seconds of trying: the few
  // calls such a session makes are swept in one test, the first's.
  const bool whole = *held_by_layout != '\0';
  if (whole && call != std::string("GetFileAttributesA")) GTEST_SKIP() << "swept whole in l_GetFileAttributesA";
  const std::vector<std::string> program = faultedProgram();
  if (program.empty()) GTEST_SKIP() << "no Windows program with the fault library";
  const std::map<std::string, int> kErrorNumbers = {
      {"EACCES", EACCES}, {"EIO", EIO},       {"ENOSPC", ENOSPC}, {"EROFS", EROFS},   {"ENAMETOOLONG", ENAMETOOLONG},
      {"EPERM", EPERM},   {"EDQUOT", EDQUOT}, {"EBUSY", EBUSY},   {"EXDEV", EXDEV},   {"EOPNOTSUPP", EOPNOTSUPP}, {"ERANGE", ERANGE},
      {"EINTR", EINTR}, {"ENOTTY", ENOTTY}};
  const std::string new_games = "Racer==e:\\games\\racer\\default.xbe\r\n";
  const std::string new_apps = "Dirwalker==e:\\apps\\dirwalker\\default.xbe\r\n";
  const std::string input = "3 Racer e:\\games\\racer\\default.xbe\n4 Dirwalker e:\\apps\\dirwalker\\default.xbe\n7\n" +
                            std::string(writable ? "7\n" : "8\n");
  const std::regex temporary("(hvn/ini|elsewhere)/(games|apps)\\.ini(\\.bak)?\\.([A-Za-z0-9]{6}|[0-9a-f]{8})");
  const std::string old_games = repeat(kOldGames, shape.old_lines), old_apps = repeat(kOldApps, shape.old_lines);
  // A session in the layout, with the faults `faults` and, if asked, every
  // call listed on standard error.
  struct Run {
    int status;
    std::string output, errors;
    bool tagged;
  };
  const auto run = [&](const Scratch& scratch, const std::string& faults, bool list) {
    fs::create_directories(scratch.folder / "hvn" / "ini");
    create(scratch.folder, "games.ini", {layout.kind, old_games, layout.mode});
    create(scratch.folder, "apps.ini", {layout.kind, old_apps, layout.mode});
    // An extended attribute each, which a replacement must carry over.
    const fs::path ini = scratch.folder / "hvn" / "ini";
    const bool tagged = !windows && setxattr((ini / "games.ini").c_str(), "user.hvn", "kept", 4, 0) == 0 &&
                        setxattr((ini / "apps.ini").c_str(), "user.hvn", "kept", 4, 0) == 0;
    Child child = startProgram(program, scratch.folder, scratch.errors,
                               {.fault = faults.c_str(), .list_calls = list});
    int status = finish(child, input, timeoutMs());
    // Now and then, with many programs starting at once, Wine starts none:
    // no output, not even the fault library's first words. Once more, then.
    if (windows && child.output.empty() && contentOf(scratch.errors).empty()) {
      Child again = startProgram(program, scratch.folder, scratch.errors, {.fault = faults.c_str(), .list_calls = list});
      status = finish(again, input, timeoutMs());
      child.output = again.output;
    }
    std::string output = std::regex_replace(child.output, std::regex("\r\n"), "\n");
    return Run{status, output, contentOf(scratch.errors), tagged};
  };
  const std::string first = held_by_layout + std::string(tried.after);
  const std::string before = first.empty() ? "" : first.substr(0, first.size() - 1);
  std::vector<std::string> calls;
  {
    const Scratch scratch;
    calls = listedCalls(run(scratch, before, true).errors);
  }
  // A file written is flushed before it is let go, and a folder whose
  // entries changed is flushed too.
  if (call == std::string(windows ? "FlushFileBuffers" : "fsync") && writable)
    for (std::size_t i = 0; i < calls.size(); ++i) {
      std::smatch made;
      const std::string& at = calls[i];
      const bool written = std::regex_match(at, made, std::regex("(pwrite|pwritev|WriteFile) (.*) [0-9]+"));
      const bool renamed = std::regex_match(at, std::regex("renameat .* [0-9]+"));
      if (!written && !renamed) continue;
      const std::string folder = layout.kind == Kind::kLinkToFile ? "elsewhere/" : "ini/";
      const std::string flushed = std::string(call) + " " + (renamed ? folder : made[2].str()) + " ";
      EXPECT_TRUE(std::any_of(calls.begin() + static_cast<long>(i), calls.end(),
                              [&](const std::string& later) { return later.rfind(flushed, 0) == 0; }))
          << describe(layout) << at << ": never followed by " << flushed;
    }
  int cases = 0;
  for (const std::string& listed : calls) {
    const std::string listed_call = listed.substr(0, listed.find(' '));
    if (listed_call != call && !whole) continue;
    const auto row = std::find_if(std::begin(kFaultCalls), std::end(kFaultCalls), [&](const FaultCall& known) {
      return known.call == listed_call && known.windows == windows;
    });
    if (row == std::end(kFaultCalls)) continue;
    std::vector<std::string> actions(row->errors.begin(), row->errors.end());
    // A killed program reports nothing: a sanitized build leaves the kills
    // to the plain one.
    if (!kSanitized) actions.push_back("kill");
    for (const std::string& action : actions) {
      const std::string fault = first + listed + " " + action;
      SCOPED_TRACE(describe(layout) + "with " + fault);
      const Scratch scratch;
      const Run ran = run(scratch, fault, false);
      const std::string &output = ran.output, &errors_seen = ran.errors;
      const int status = ran.status;
      const bool tagged = ran.tagged;
      const std::string struck_here = "hvn-fault: struck " + listed;
      const std::size_t struck = errors_seen.find(struck_here);
      ASSERT_NE(struck, std::string::npos) << "a call listed was not made: " << errors_seen;
      // What follows the strike: a note, and on Windows the system's words.
      const std::string struck_note = errors_seen.substr(struck + struck_here.size(),
                                                         errors_seen.find('\n', struck) - struck - struck_here.size());
      ++cases;
      const fs::path ini = scratch.folder / "hvn" / "ini";
      const std::string games = observe(scratch.folder, "games.ini").content;
      const std::string apps = observe(scratch.folder, "apps.ini").content;
      EXPECT_TRUE(readsAs(games, old_games) || (writable && readsAs(games, new_games))) << games;
      EXPECT_TRUE(readsAs(apps, old_apps) || (writable && readsAs(apps, new_apps))) << apps;
      // A backup, wherever it is, holds the old menu whole.
      for (const auto& [file, old] : {std::pair{"games.ini.bak", old_games}, std::pair{"apps.ini.bak", old_apps}})
        for (const fs::path& at : {ini / file, scratch.folder / "elsewhere" / file})
          if (fs::exists(at)) {
            EXPECT_TRUE(readsAs(contentOf(at), old)) << at << ": " << contentOf(at);
          }
      char tag[8] = "";
      for (const char* file : {"games.ini", "apps.ini"})
        EXPECT_TRUE(!tagged || (getxattr((ini / file).c_str(), "user.hvn", tag, sizeof tag) == 4 &&
                                std::string_view(tag, 4) == "kept"))
            << file << " lost its extended attribute";
      // A copy may be left by a kill, or where the message names it.
      std::vector<std::string> stray = strayFiles(scratch.folder);
      std::erase_if(stray, [&](const std::string& name) {
        return std::regex_match(name, temporary) &&
               (action == "kill" || output.find("its copy " + fs::path(name).filename().string()) != std::string::npos);
      });
      if (action == "kill") {
        EXPECT_EQ(status, 128 + SIGKILL);
      }
      EXPECT_EQ(stray, std::vector<std::string>{});
      if (action == "kill") continue;
      const std::size_t message = output.find("Could not write ");
      const bool started = output.rfind(kCheckFailed, 0) != 0;
      // A read-only menu fails every 7, which says so unless the console
      // itself has failed.
      if (writable || message != std::string::npos) {
        EXPECT_EQ(status, started && writable ? 0 : 1) << output;
      }
      // A call interrupted by a signal is simply made again, as is one
      // another program held for a moment (the call's `waits`); what the
      // call's `told` says is never reported is not; a file written in place
      // has no other way to be written, so every other failure of it is.
      const bool on_menu = std::regex_match(listed, std::regex("\\S+ (games|apps)\\.ini [0-9]+"));
      const bool held = (action == "ERROR_SHARING_VIOLATION" || action == "ERROR_ACCESS_DENIED" ||
                         action == "ERROR_LOCK_VIOLATION") &&
                        (row->waits == Waits::kOnAny || (row->waits == Waits::kOnMenu && on_menu));
      const bool recoverable = action == "EINTR" || (held && first.empty()) || row->told == Told::kNever ||
                               struck_note.rfind(" (read-only)", 0) == 0 ||
                               (action == "EACCES" && struck_note == " (folder)");
      EXPECT_TRUE(!recoverable || !writable || message == std::string::npos) << output;
      // On Windows a failure of a call that only looks (at the file's
      // security or streams) is met by writing in place, which such a file
      // gets anyway; there a call that writes must be reported only on the
      // menu itself.
      const bool console = listed.find(" console ") != std::string::npos;
      const bool writes = row->told == Told::kInPlace && (!windows || on_menu);
      if (layout.kind == Kind::kHardLinkedFile && started && writes && !console && !recoverable) {
        EXPECT_NE(message, std::string::npos) << "a failed write in place went unreported";
      }
      if (message != std::string::npos && writable) {
        // The reason is the error made to happen: the system's words for it.
        std::string line = output.substr(message, output.find('\n', message) - message + 1);
        line = std::regex_replace(line, std::regex("; its copy [a-z]+\\.ini(\\.bak)?\\.\\w+ could not be removed"), "");
        line = std::regex_replace(line, std::regex("(\\.bak)?: (.*); (nothing was written.*|\\S+ was written)"), ": $2");
        std::vector<std::string> words;
        for (const auto& [name, number] : kErrorNumbers)
          if (fault.find(" " + name) != std::string::npos) words.push_back(std::strerror(number));
        const std::regex system_words("hvn-fault: struck .*: (.*)\\.\n");
        for (std::sregex_iterator at(errors_seen.begin(), errors_seen.end(), system_words), end; at != end; ++at)
          words.push_back((*at)[1]);
        bool known = false;
        for (const std::string& reason : words)
          for (const char* file : {"apps.ini", "games.ini"})
            known = known || line == "Could not write " + location(file) + ": " + reason + "\n";
        EXPECT_TRUE(known) << line;
      }
      const bool input_lost = std::regex_match(listed, std::regex("_?read console [0-9]+")) && action != "EINTR";
      if (started && writable && !input_lost) {
        EXPECT_EQ(games, new_games) << "the second 7 did not write the game menu";
        EXPECT_EQ(apps, new_apps) << "the second 7 did not write the app menu";
      }
      if (testing::Test::HasFailure()) return;
    }
  }
  std::cout << "fault table: " << cases << " cases\n";
}

// One test a layout and a call, so that ctest spreads the table over the
// cores; the calls of each system under a name of their own, so that each
// system's run is given only its own.
int firstWindowsCall() {
  return static_cast<int>(std::find_if(std::begin(kFaultCalls), std::end(kFaultCalls),
                                       [](const FaultCall& call) { return call.windows; }) -
                          std::begin(kFaultCalls));
}
std::string layoutAndCall(const testing::TestParamInfo<std::tuple<int, int>>& info) {
  return std::string(1, kFaultLayouts[std::get<0>(info.param)].letter) + "_" + kFaultCalls[std::get<1>(info.param)].call;
}
INSTANTIATE_TEST_SUITE_P(LinuxCalls, Faults,
                         testing::Combine(testing::Range(0, static_cast<int>(std::size(kFaultLayouts))),
                                          testing::Range(0, firstWindowsCall())),
                         layoutAndCall);
INSTANTIATE_TEST_SUITE_P(WindowsCalls, Faults,
                         testing::Combine(testing::Range(0, static_cast<int>(std::size(kFaultLayouts))),
                                          testing::Range(firstWindowsCall(), static_cast<int>(std::size(kFaultCalls)))),
                         layoutAndCall);

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

// The help is prose, so only what users look for in it is fixed: how to call
// the program, and what --keep does. -h asks for it too, and Windows users
// ask with /?, which elsewhere is a word like any other.
TEST(CommandLine, HelpShowsUsageAndKeep) {
  std::string help;
  for (const char* option : {"--help", "-h", "/?"}) {
    SCOPED_TRACE(option);
    const Scratch scratch;
    std::vector<std::string> command = commandFromEnvironment("HVN_PROGRAM");
    command.push_back(option);
    Child child = startProgram(command, scratch.folder, scratch.errors);
    const int status = finish(child, "", timeoutMs());
    if (option == std::string("/?") && !targetIsWindows()) {
      EXPECT_EQ(status, 2);
      EXPECT_EQ(contentOf(scratch.errors), usageError("unknown option '/?'"));
      continue;
    }
    EXPECT_EQ(status, 0);
    EXPECT_EQ(child.output.rfind(onConsole(kUsage), 0), 0u) << child.output;
    EXPECT_NE(child.output.find("--keep     start from the entries the two files hold"), std::string::npos);
    EXPECT_NE(child.output.find(onConsole("  9. Remove Game    0. Remove App\n               m. Move Game")),
              std::string::npos);
    EXPECT_EQ(contentOf(scratch.errors), "");
    if (help.empty()) help = child.output;
    EXPECT_EQ(child.output, help);
  }
}

}  // namespace
