// Facts about replacing the two menu files, told by replaceFiles itself in a
// scratch folder: what becomes of each file, its backup and the words when a
// call fails. A fault is switched on just before the call, by what fails,
// through the fault library linked into this test (tests/fault_names.h).
#include "platform/file_writer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "catalogue/menu_files.h"
#include "tests/fault_names.h"
#include "tests/row_name.h"

namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
constexpr bool kWindows = true;
#else
constexpr bool kWindows = false;
#endif

const std::string kOldApps = "OldApp==e:\\oldapp\\default.xbe\r\n";
const std::string kOldGames = "Old==e:\\old\\default.xbe\r\n";
const std::string kNewApps = "B==e:\\b\r\n";
const std::string kNewGames = "A==e:\\a\r\n";

// What fails, named on each system ("" where that system has no such call).
struct Failure {
  const char* posix;
  const char* windows;
};
const Failure kNothingFails{"", ""};
const Failure kCopyFindsNoRoom{"pwrite apps.ini's copy ENOSPC", "WriteFile apps.ini's copy ERROR_DISK_FULL"};
const Failure kCopyUnflushed{"fsync apps.ini's copy EIO", "FlushFileBuffers apps.ini's copy ERROR_IO_DEVICE"};
const Failure kCopyUnclosed{"close apps.ini's copy EIO", "CloseHandle apps.ini's copy ERROR_IO_DEVICE"};
const Failure kCopyNotMoved{"renameat apps.ini's copy EIO", "MoveFileExA apps.ini's copy ERROR_IO_DEVICE"};
const Failure kFolderUnflushed{"fsync ini/ EIO", ""};  // Windows flushes no folder
const Failure kBackupNotMoved{"renameat apps.ini's backup EXDEV", "MoveFileExA apps.ini's backup ERROR_NOT_SAME_DEVICE"};

enum class Layout { kOrdinary, kAppsVanished, kGamesReadOnly, kAppsHardLinked };

struct WriterCase {
  const char* what;
  Layout layout;
  Failure fails;
  int failed;   // the file not written, -1 for none
  int written;  // files written, from the first
  // The words, after "./hvn/ini/": the file named and the system's words,
  // POSIX's and Windows'.
  const char* words;
  const char* words_on_windows;
  std::string apps_after;
  std::string games_after;
};

const WriterCase kWriterCases[] = {
    {"both replaced", Layout::kOrdinary, kNothingFails, -1, 2, "", "", kNewApps, kNewGames},
    {"a vanished file made anew", Layout::kAppsVanished, kNothingFails, -1, 2, "", "", kNewApps, kNewGames},
    {"a read-only file never written", Layout::kGamesReadOnly, kNothingFails, 1, 0, "games.ini: Permission denied",
     "games.ini: Access denied", kOldApps, kOldGames},
    {"a hard-linked file written in place", Layout::kAppsHardLinked, kNothingFails, -1, 2, "", "", kNewApps, kNewGames},
    {"a copy that finds no room", Layout::kOrdinary, kCopyFindsNoRoom, 0, 0, "apps.ini: No space left on device",
     "apps.ini: Disk full", kOldApps, kOldGames},
    {"a copy not flushed: written in place", Layout::kOrdinary, kCopyUnflushed, -1, 2, "", "", kNewApps, kNewGames},
    {"a copy not closed: written in place", Layout::kOrdinary, kCopyUnclosed, -1, 2, "", "", kNewApps, kNewGames},
    {"a copy that cannot take its place: written in place", Layout::kOrdinary, kCopyNotMoved, -1, 2, "", "", kNewApps, kNewGames},
    {"a vanished file's copy that cannot take its place", Layout::kAppsVanished, kCopyNotMoved, 0, 0,
     "apps.ini: Input/output error", "apps.ini: I/O device error", "", kOldGames},
    {"a vanished file's copy that finds no room", Layout::kAppsVanished, kCopyFindsNoRoom, 0, 0,
     "apps.ini: No space left on device", "apps.ini: Disk full", "", kOldGames},
    {"a vanished file's copy not closed", Layout::kAppsVanished, kCopyUnclosed, 0, 0, "apps.ini: Input/output error",
     "apps.ini: I/O device error", "", kOldGames},
    {"a vanished file's copy not flushed", Layout::kAppsVanished, kCopyUnflushed, 0, 0, "apps.ini: Input/output error",
     "apps.ini: I/O device error", "", kOldGames},
    {"a folder not flushed: written, and said", Layout::kAppsVanished, kFolderUnflushed, 0, 2,
     "apps.ini: Input/output error", "", kNewApps, kNewGames},
    {"a backup that cannot take its name", Layout::kOrdinary, kBackupNotMoved, 0, 0,
     "apps.ini.bak: Invalid cross-device link", "apps.ini.bak: Not same device", kOldApps, kOldGames},
};

std::string contentOf(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "";
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

void setFault(const char* fault) {
#ifdef _WIN32
  _putenv_s("HVN_FAULT", fault);
#else
  setenv("HVN_FAULT", fault, 1);
#endif
}

// A scratch folder to work in, left again, whichever way, with its files.
struct InScratch {
  fs::path before = fs::current_path();
  fs::path folder;
  explicit InScratch(const char* row) : folder(fs::temp_directory_path() / ("hvn-writer-" + rowName(row))) {
    fs::create_directories(folder / "hvn" / "ini");
    fs::current_path(folder);
  }
  ~InScratch() {
    setFault("");
    fs::current_path(before);
    std::error_code ignored;
    fs::permissions(folder / "hvn" / "ini" / "games.ini", fs::perms::owner_write, fs::perm_options::add, ignored);
    fs::remove_all(folder, ignored);
  }
};

void lay(Layout layout) {
  const fs::path ini = fs::path("hvn") / "ini";
  if (layout != Layout::kAppsVanished) std::ofstream(ini / "apps.ini", std::ios::binary) << kOldApps;
  std::ofstream(ini / "games.ini", std::ios::binary) << kOldGames;
  if (layout == Layout::kGamesReadOnly) fs::permissions(ini / "games.ini", fs::perms(0444));
  if (layout == Layout::kAppsHardLinked) fs::create_hard_link(ini / "apps.ini", ini / "other-name-apps.ini");
}

void PrintTo(const WriterCase& c, std::ostream* out) { *out << c.what; }

class FileWriter : public testing::TestWithParam<WriterCase> {};

TEST_P(FileWriter, EachFileIsOldOrNewAndTheFailureIsNamed) {
  const WriterCase& c = GetParam();
  const char* const fault = kWindows ? c.fails.windows : c.fails.posix;
  if (*fault == '\0' && (c.fails.posix[0] != '\0' || c.fails.windows[0] != '\0')) GTEST_SKIP() << "no such call here";
  InScratch scratch(c.what);
  lay(c.layout);
  const FileReplacement files[] = {{kAppMenuPath, kNewApps}, {kGameMenuPath, kNewGames}};
  setFault(fault);
  const FilesWrite write = replaceFiles(files, 2);
  EXPECT_EQ(hvnFaultsStruck() > 0, *fault != '\0') << "the fault named no call";
  setFault("");
  EXPECT_EQ(write.failed, c.failed) << write.words;
  EXPECT_EQ(write.written, c.written);
  const std::string words = kWindows ? c.words_on_windows : c.words;
  const std::string in_ini = std::string(kAppMenuPath, sizeof kAppMenuPath - sizeof "apps.ini");
  EXPECT_EQ(std::string(write.words).substr(0, in_ini.size() + words.size()), words.empty() ? "" : in_ini + words);
  const fs::path ini = fs::path("hvn") / "ini";
  EXPECT_EQ(contentOf(ini / "apps.ini"), c.apps_after);
  EXPECT_EQ(contentOf(ini / "games.ini"), c.games_after);
  if (c.layout == Layout::kAppsHardLinked) {
    EXPECT_EQ(contentOf(ini / "other-name-apps.ini"), c.apps_after);
  }
  // Old menus replaced are kept beside as backups; nothing else is left.
  const bool replaced = c.written == 2;
  EXPECT_EQ(contentOf(ini / "apps.ini.bak"), replaced && c.layout != Layout::kAppsVanished ? kOldApps : "");
  EXPECT_EQ(contentOf(ini / "games.ini.bak"), replaced ? kOldGames : "");
  for (const auto& entry : fs::directory_iterator(ini)) {
    const std::string name = entry.path().filename().string();
    EXPECT_TRUE(name == "apps.ini" || name == "games.ini" || name == "apps.ini.bak" || name == "games.ini.bak" ||
                name == "other-name-apps.ini")
        << name << " left";
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, FileWriter, testing::ValuesIn(kWriterCases),
                         [](const testing::TestParamInfo<WriterCase>& row) { return rowName(row.param.what); });

}  // namespace
