#include <cerrno>
#include <csignal>
#include <cstring>
#include <map>
#include <regex>
#include <tuple>

#include <sys/xattr.h>

#include "tests/session_support.h"

namespace {

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
    {"ftruncate", {"EIO"}},
    {"fsync", {"EIO", "ENOSPC"}},
    {"close", {"EIO"}},
    {"renameat", {"EBUSY", "EPERM", "EXDEV", "EIO"}},
    {"unlinkat", {"EIO"}, false, "renameat apps.ini's backup EXDEV,"},
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
    if (wineStartedNothing(child, scratch.errors)) {
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
      const bool written = std::regex_match(at, made, std::regex("(pwrite|WriteFile) (.*) [0-9]+"));
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
      // A copy may be left by a kill, or where the message names it (a copy
      // that could not be removed, or an old menu kept when its backup could
      // not take its name); a kept one holds the old menu.
      std::vector<std::string> stray = strayFiles(scratch.folder);
      std::erase_if(stray, [&](const std::string& name) {
        const std::string base = fs::path(name).filename().string();
        const bool kept = output.find("is also kept in " + base) != std::string::npos;
        EXPECT_TRUE(!kept || readsAs(contentOf((scratch.folder / name).string()), base[0] == 'g' ? old_games : old_apps))
            << name;
        return std::regex_match(name, temporary) &&
               (action == "kill" || kept || output.find("its copy " + base) != std::string::npos);
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
        line = std::regex_replace(line, std::regex("; the old [a-z]+ menu is also kept in \\S+"), "");
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

}  // namespace
