// What the whole-program tables share (tests/end_to_end_test.cpp, the
// sessions; tests/console_test.cpp, the console; tests/fault_sweep_test.cpp,
// every call failing): the program's texts, the files a row lays and how
// they are told apart afterwards, a scratch folder, and the program to run.
// HVN_PROGRAM is the command that runs the program; when it ends in .exe
// (run under Wine) the program is expected to speak Windows: CR LF console
// lines and backslash paths.
#ifndef HALVANE_TESTS_SESSION_SUPPORT_H_
#define HALVANE_TESTS_SESSION_SUPPORT_H_

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/program_runner.h"

namespace fs = std::filesystem;

inline bool targetIsWindows() {
  static const bool windows = isWindowsProgram(commandFromEnvironment("HVN_PROGRAM"));
  return windows;
}

// Wine takes its time over starting a program (seconds, where it runs under
// an emulator); a native one does not.
inline int timeoutMs() { return targetIsWindows() ? 120000 : 20000; }

inline const std::string kMenu =
    "\n     Halvane menu creator 1.0\n\n\n 1. Add Game Directory\n 2. Add App Directory\n"
    " 3. Add Game\n 4. Add App\n 5. Print Games list\n 6. Print App list\n"
    " 7. Write Files & Exit\n 8. Exit\n";
inline const std::string kAddGameDir = "Enter pull path to directory, example  e:\\games\\ or f:\\games\\ \n";
inline const std::string kAddAppDir = "Enter pull path to directory, example  e:\\apps\\ or f:\\apps\\ \n";
inline const std::string kGameName = "Enter Name of game\n";
inline const std::string kGamePath = "Enter pull path to games, example  e:\\testdrive\\default.xbe \n";
inline const std::string kAppName = "Enter Name of App\n";
inline const std::string kAppPath = "Enter pull path to app, example  e:\\dirwalker\\default.xbe \n";
// With --keep the menu offers editing too.
inline const std::string kKeepMenu =
    kMenu + " 9. Remove Game\n 0. Remove App\n m. Move Game\n n. Move App\n e. Change Game\n f. Change App\n"
            " a. Add Games Found in a Folder\n";
inline const std::string kRemoveGame = "Enter number of game to remove\n";
inline const std::string kRemoveApp = "Enter number of App to remove\n";
inline const std::string kNothingRemoved = "No such entry, nothing removed\n";
inline const std::string kMoveGame = "Enter number of game to move\nEnter new number of game\n";
inline const std::string kMoveApp = "Enter number of App to move\nEnter new number of App\n";
inline const std::string kChangeGame = "Enter number of game to change\n";
inline const std::string kChangeApp = "Enter number of App to change\n";
inline const std::string kBadName = "Name may not hold == or end in =\n";
inline const std::string kAddGame = kGameName + kGamePath;
inline const std::string kAddApp = kAppName + kAppPath;
inline const std::string kBadPath = "Bad directory path\n";
inline const std::string kNext = "Next selection\n";
inline const std::string kGames = "Print Games \n";
inline const std::string kApps = "Print Apps \n";
inline const std::string kCheckFailed = "File check failed\n";
inline const std::string kNoBackup = "nothing was written, and 7 again writes without a backup";
// With --keep, after a command, the choices in one line instead of the menu.
inline const std::string kChoose = "Choose 1-9, 0, m, n, e, f or a; Enter shows the menu\n";
inline const std::string kNothingChanged = "Nothing changed\n";
// Change shows the entry as it is first.
inline std::string now(const std::string& entry) { return "Now: " + entry + "; Enter keeps each part as it is\n"; }
inline const std::string kUnwritten = "Changes not written; 8 again ends without writing\n";

inline const std::string kOldGames = "Old==e:\\old\\default.xbe\r\n";
inline const std::string kOldApps = "OldApp==e:\\oldapp\\default.xbe\r\n";
inline const std::string kKeptGames = "Racer==e:\\games\\racer\\default.xbe\r\nautoadd==f:\\games\\\r\n";
inline const std::string kKeptApps = "Walker==e:\\dirwalker\\default.xbe\r\n";
// A menu longer than a read block: 250 lines of 299 bytes.
inline const std::string kLongMenu = [] {
  std::string menu;
  for (int i = 0; i < 250; ++i)
    menu.append(50, 'n').append(std::to_string(1000 + i)).append("==").append(240, 'p').append("\r\n");
  return menu;
}();
// Lines no typed entry could give, kept as they stand.
inline const std::string kOddLines = "My Game==e:\\my games\\default.xbe\r\n==e:\\no-name\r\nhd==hd:\\apps\\\r\n"
                              "autoadd==e:\\games\r\nx==a==b\r\n \t==\r\n" +
                              std::string(254, 'n') + "==" + std::string(254, 'p') + "\r\n";
inline const std::string kUsage =
    "Usage: halvane-menu [--keep [--console URL] | --check | --fetch URL |\n"
    "                    --send URL | --help | --version]\n";
// A command line refused: what was wrong, the usage line, and where help is.
inline std::string usageError(const std::string& complaint) {
  return "halvane-menu: " + complaint + "\n" + kUsage + "Try 'halvane-menu --help'" +
         (targetIsWindows() ? " or 'halvane-menu /?'" : "") + ".\n";
}

// A menu file's location as the program spells it.
inline std::string location(const char* file) {
  const char* separator = targetIsWindows() ? "\\" : "/";
  return std::string(".") + separator + "hvn" + separator + "ini" + separator + file;
}

// Why a write failed, in the system's own words: POSIX's and Windows'.
struct Reason {
  const char* posix;
  const char* windows;
};
inline const Reason kNoSpace{"No space left on device", "Disk full"};
inline const Reason kIsFolder{"Is a directory", "Access denied"};
inline const Reason kReadOnly{"Permission denied", "Access denied"};
inline const Reason kNoReader{"No such device or address", ""};
inline const Reason kNotPermitted{"Operation not permitted", ""};
inline const Reason kQuota{"Disk quota exceeded", ""};
inline const Reason kNoSuchFile{"No such file or directory", "No such file or directory"};
inline const Reason kSwapped{"Resource temporarily unavailable", ""};  // another file took the name meanwhile

// A failed 7: the file, the system's reason, then what became of the files:
// "nothing was written", or which was.
inline std::string couldNotWrite(const char* file, const Reason& reason, const std::string& outcome = "nothing was written") {
  return "Could not write " + location(file) + ": " + (targetIsWindows() ? reason.windows : reason.posix) +
         (outcome.empty() ? "" : "; " + outcome) + "\n";
}

// A save's last words: "Wrote 1 game to ... and 2 apps to ... (the old menus are in ...)".
inline std::string wrote(int games, int apps, const std::string& backups = "", int game_folders = 0) {
  const auto entries = [](int n, const char* noun) { return std::to_string(n) + " " + noun + (n == 1 ? "" : "s"); };
  const std::string folders = game_folders == 0 ? "" : " and " + entries(game_folders, "folder");
  return "Wrote " + entries(games, "game") + folders + " to " + location("games.ini") + " and " + entries(apps, "app") +
         " to " + location("apps.ini") + (backups.empty() ? "" : " (the old " + backups + ")") + "\n";
}

// The start-up test's words on standard error; {folder} stands for the
// folder the program runs in.
inline std::string cannotRead(const char* file, const Reason& reason) {
  return "Cannot read " + location(file) + " in {folder}: " + (targetIsWindows() ? reason.windows : reason.posix) +
         "\n";
}

// The refusal of nobody's link to a file of root's, as root hears it.
inline std::string plantedLink(const char* file) {
  return std::string("hvn/ini/") + file +
         " is nobody's and leads to /, which is yours; not followed, as nobody could have pointed it anywhere";
}

inline std::string changedElsewhere(const char* file) {
  return location(file) + " changed since it was read; 7 again replaces it\n";
}

inline std::string cannotKeep(const char* file, int line, const std::string& reason) {
  return "Cannot keep " + location(file) + ": line " + std::to_string(line) + ": " + reason + "\n";
}

// A list as a removal shows it: numbered from 1, right-aligned in three places.
inline std::string numbered(const std::vector<std::string>& lines) {
  std::string result;
  char number[24];
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::snprintf(number, sizeof number, "%3zu. ", i + 1);
    result += number + lines[i] + "\n";
  }
  return result;
}

inline std::string repeat(const std::string& text, int times) {
  std::string result;
  for (int i = 0; i < times; ++i) result += text;
  return result;
}

// True when `content` reads as `menu`: the same lines, then blank ones only.
inline bool readsAs(const std::string& content, const std::string& menu) {
  return content.compare(0, menu.size(), menu) == 0 &&
         content.find_first_not_of("\r\n", menu.size()) == std::string::npos;
}

inline std::string contentOf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Sets a folder's flags (append-only, say); false where the file system has none.
inline bool setFolderFlags(const fs::path& folder, int flags) {
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

inline FileState file(std::string content, fs::perms mode = fs::perms(0644)) {
  return {Kind::kFile, std::move(content), mode};
}
inline FileState linkTo(std::string content) { return {Kind::kLinkToFile, std::move(content)}; }
inline FileState hardLinked(std::string content) { return {Kind::kHardLinkedFile, std::move(content)}; }
inline const FileState kNoFile{Kind::kAbsent, ""};
inline const FileState kFolder{Kind::kFolder, ""};
inline const FileState kFullDevice{Kind::kLinkToFullDevice, ""};
inline const FileState kFifo{Kind::kFifo, ""};
inline const FileState kUnreadable{Kind::kUnreadableFile, kOldGames, fs::perms::none};
inline const FileState kZeroDevice{Kind::kZeroDevice, ""};
inline const FileState kNoHvnFolder{Kind::kNoHvnFolder, ""};

inline const char* const kRunsAsNobody = "Wine will not run as another user than the owner of its prefix";
inline const char* const kLinuxDevice = "a device node is a Linux file; Windows has none";
inline const char* const kNoFifo = "a FIFO is a POSIX file; Windows has none";
inline const char* const kPreloaded = "faults are injected by preloading a library into a Linux program";

inline fs::path menuPath(const fs::path& folder, const char* file) { return folder / "hvn" / "ini" / file; }

// The other names of a linked menu file: the file a symbolic link names, in
// a folder of its own, and the second name of a hard-linked one, beside it.
inline fs::path linkTarget(const fs::path& folder, const std::string& file) { return folder / "elsewhere" / file; }
inline fs::path otherName(const fs::path& folder, const std::string& file) {
  return folder / "hvn" / "ini" / ("other-name-" + file);
}

inline void writeFile(const fs::path& path, const FileState& state) {
  std::ofstream(path, std::ios::binary) << state.content;
  fs::permissions(path, state.mode);
}

// The program a fault is made to happen in: on Windows, its test build with
// the fault library in it (HVN_WINDOWS_FAULTED), run the way the program is;
// empty if it was not built.
inline std::vector<std::string> faultedProgram() {
  std::vector<std::string> command = commandFromEnvironment("HVN_PROGRAM");
  if (!targetIsWindows() || command.empty()) return command;
  const char* const faulted = std::getenv("HVN_WINDOWS_FAULTED");
  if (faulted == nullptr || !fs::exists(faulted)) return {};
  command.back() = faulted;
  return command;
}

inline void create(const fs::path& folder, const std::string& file, const FileState& state) {
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

inline FileState observe(const fs::path& folder, const std::string& file) {
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

inline std::string describe(const FileState& state) {
  static const char* const kKinds[] = {"absent", "file", "folder", "unreadable file", "link to a full device",
                                       "FIFO", "link to a file", "hard-linked file", "zero device", "no hvn folder"};
  const bool has_mode = state.kind == Kind::kFile || state.kind == Kind::kLinkToFile ||
                        state.kind == Kind::kHardLinkedFile;
  char mode[8] = "";
  if (has_mode) std::snprintf(mode, sizeof mode, " %03o", static_cast<unsigned>(state.mode));
  return std::string(kKinds[static_cast<int>(state.kind)]) + mode + ": " + state.content;
}

// Everything in the session's folder that is neither a menu file nor one of
// the names the rows set up, such as a temporary file left behind.
inline std::vector<std::string> strayFiles(const fs::path& folder) {
  static const std::set<std::string> kExpected = {
      "hvn", "hvn/ini", "hvn/ini/games.ini", "hvn/ini/apps.ini", "elsewhere", "elsewhere/games.ini",
      "elsewhere/apps.ini", "hvn/ini/other-name-games.ini", "hvn/ini/other-name-apps.ini", "program",
      "bound-apps.ini", "full-device", "halvane-menu.exe", "Edit menus.cmd", "Check menus.cmd", "hvn/ini/games.ini.bak",
      "hvn/ini/apps.ini.bak", "elsewhere/games.ini.bak", "elsewhere/apps.ini.bak", "btrfs.img", "hvn/ini/filler"};
  std::vector<std::string> stray;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder)) {
    const std::string name = entry.path().lexically_relative(folder).string();
    // The console's side of a row is its own look's.
    if (kExpected.count(name) == 0 && name.rfind("console", 0) != 0) stray.push_back(name);
  }
  return stray;
}

// The console's FTP server for a row: tests/ftp_server.py on the loopback
// address, serving `root` (whose top folders are the drives) to xbox:xbox,
// until the row ends.
struct ConsoleServer {
  pid_t pid = -1;
  int port = 0;
  ~ConsoleServer() {
    if (pid <= 0) return;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
};

// Starts it with `options` (see the script); why it could not, or nothing.
inline std::string startConsoleServer(ConsoleServer& server, const fs::path& root, const std::vector<std::string>& options) {
  const fs::path port_file = root.parent_path() / "console.port";
  std::vector<std::string> words = {"/usr/bin/python3", HVN_FTP_SERVER, root.string(), port_file.string()};
  words.insert(words.end(), options.begin(), options.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  server.pid = fork();
  if (server.pid == 0) {
    const int quiet = open("/dev/null", O_WRONLY);
    dup2(quiet, 1);
    dup2(quiet, 2);
    execv(argv[0], argv.data());
    _exit(127);
  }
  for (int waited = 0; waited < 200 && !fs::exists(port_file); ++waited) {
    if (waitpid(server.pid, nullptr, WNOHANG) == server.pid) {
      server.pid = -1;
      return "the console's FTP server did not start: is python3-pyftpdlib installed?";
    }
    usleep(50 * 1000);
  }
  std::ifstream(port_file) >> server.port;
  fs::remove(port_file);
  return server.port > 0 ? "" : "the console's FTP server named no port";
}

// True when a run left no trace at all: no output, no word on standard
// error. Now and then, with many programs starting at once, Wine starts
// none, and such a run is made once more; a program that runs and fails
// still fails its row.
inline bool wineStartedNothing(const Child& child, const std::string& errors_path) {
  return targetIsWindows() && child.output.empty() && contentOf(errors_path).empty();
}

// A Windows program sees the console's line end as CR LF.
inline std::string onConsole(const std::string& text) {
  if (!targetIsWindows()) return text;
  std::string result;
  for (char c : text) result += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return result;
}

// What the program wrote on standard error, without the fault library's
// notes of the faults it made.
inline std::string programErrors(const std::string& path) {
  std::istringstream lines(contentOf(path));
  std::string errors;
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("hvn-fault: ", 0) != 0) errors += line + (lines.eof() ? "" : "\n");
  return errors;
}

// `text` with {folder} replaced by `folder` as the program names it.
inline std::string inFolder(std::string text, const fs::path& folder) {
  std::string name = folder.string();
  if (targetIsWindows()) {
    std::replace(name.begin(), name.end(), '/', '\\');
    name = "Z:" + name;
  }
  if (const std::size_t at = text.find("{folder}"); at != std::string::npos) text.replace(at, 8, name);
  return text;
}

inline bool menuShown(const std::string& output) { return output.find(onConsole(kMenu)) != std::string::npos; }

#endif  // HALVANE_TESTS_SESSION_SUPPORT_H_
