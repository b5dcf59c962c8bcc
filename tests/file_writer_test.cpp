// Facts about replacing the two menu files, told by replaceFiles itself in a
// scratch folder: what becomes of each file, its backup and the words when a
// call fails. A fault is switched on just before the call, by what fails,
// through the fault library linked into this test (tests/fault_names.h).
#include "platform/file_writer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#ifdef _WIN32
#include <thread>
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <sddl.h>
#else
#include <grp.h>
#include <pwd.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>
#endif

#include "catalogue/menu_files.h"
#include "platform/platform.h"
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
  const char* posix = "";
  const char* windows = "";
};
const Failure kCopyFindsNoRoom{"pwrite apps.ini's copy ENOSPC", "WriteFile apps.ini's copy ERROR_DISK_FULL"};
const Failure kCopyUnflushed{"fsync apps.ini's copy EIO", "FlushFileBuffers apps.ini's copy ERROR_IO_DEVICE"};
const Failure kCopyUnclosed{"close apps.ini's copy EIO", "CloseHandle apps.ini's copy ERROR_NETNAME_DELETED"};
const Failure kCopyNotMoved{"renameat apps.ini's copy EIO", "MoveFileExA apps.ini's copy ERROR_IO_DEVICE"};
// A vanished file's copy takes a name nothing took meanwhile.
const Failure kFreshCopyNotMoved{"renameat2 apps.ini's copy EIO", "MoveFileExA apps.ini's copy ERROR_IO_DEVICE"};
const Failure kNameTakenMeanwhile{"renameat2 apps.ini's copy run", ""};
const Failure kCopyRefused{"", "CreateFileA apps.ini's copy ERROR_ACCESS_DENIED"};
const Failure kFileWriteProtected{"", "CreateFileA apps.ini ERROR_WRITE_PROTECT"};
const Failure kSecurityUnreadable{"", "GetFileSecurityA apps.ini ERROR_ACCESS_DENIED"};
// The old DACL, given to the new file once it is in place (a look at the
// DACL it has, then the giving), cannot be given.
const Failure kSecurityNotGiven{"", "GetFileSecurityA apps.ini after MoveFileExA apps.ini's copy ERROR_ACCESS_DENIED,"
                                    "SetFileSecurityA apps.ini ERROR_ACCESS_DENIED"};
// Another program puts another file at the name: between the save's first
// look at the file and its open, before its backup reads it (once its
// folder's flags are read), before it is read again to be written in place
// (once the other file's copy is made).
const Failure kSwappedAtFirstOpen{"openat apps.ini 2 run", ""};
const Failure kSwappedBeforeBackupRead{"openat apps.ini after ioctl ini/ run", ""};
const Failure kSwappedBeforeWriteInPlace{"openat apps.ini after close games.ini's copy run", ""};
// A group member renames her own link over the link the walk looked at,
// before it reads where it leads.
const Failure kLinkSwapped{"readlinkat apps.ini run", ""};
// The file system takes no permission change (FAT through FUSE).
const Failure kModeUnchangeable{"fchmod apps.ini's backup EPERM", ""};
const char* const kPutAnotherFile = "echo S==s > s && mv s hvn/ini/apps.ini";
// Windows flushes no folder. Once a file's copy has taken its place, its
// folder is opened, flushed and closed.
const Failure kFolderUnflushed{"fsync ini/ EIO", ""};
const Failure kFolderUnopened{"openat ini/ after renameat apps.ini's copy EIO", ""};
const Failure kFolderUnclosed{"close ini/ after fsync ini/ EIO", ""};
const Failure kBackupNotMoved{"renameat apps.ini's backup EXDEV", "MoveFileExA apps.ini's backup ERROR_NOT_SAME_DEVICE"};
const Failure kGamesBackupNotMoved{"renameat games.ini's backup EXDEV",
                                   "MoveFileExA games.ini's backup ERROR_NOT_SAME_DEVICE"};
// A write in place that takes half, then finds the disk full.
const Failure kShortThenFull{"pwrite apps.ini short,pwrite apps.ini EDQUOT",
                             "WriteFile apps.ini short,WriteFile apps.ini ERROR_DISK_FULL"};

// The first write of a file written in place, which grows it, finds no room.
const Failure kNoRoomToGrow{"pwrite apps.ini ENOSPC", "WriteFile apps.ini ERROR_DISK_FULL"};

enum class Layout {
  kOrdinary,
  kAppsVanished,
  kGamesVanished,
  kGamesReadOnly,
  kGamesFolder,
  kAppsHardLinked,       // a second name beside it: written in place
  kAppsLongHardLinked,   // the same, 40 lines
  kAppsLargeHardLinked,  // the same, 3,000 lines, that shrinks
  kAppsShortHardLinked,  // the same, one short line, that grows, and an older apps.ini.bak
  kGamesSymlinked,       // a link to elsewhere/games.ini
  kModes,                // games.ini 0640, apps.ini 0604
  kOlderBackups,         // both .bak there already, and games.ini blank lines only
  kAppsFullDevice,       // a device node of the test's own that is always full
  kEmptyMenus,           // both files empty: nothing to keep
};

const std::string kLongApps = [] {
  std::string menu;
  for (int i = 0; i < 40; ++i) menu += kOldApps;
  return menu;
}();
const std::string kOlder = "Older==o\r\n";

struct WriterCase {
  const char* what;
  Layout layout = Layout::kOrdinary;
  Failure fails;
  int failed = -1;   // the file not written, -1 for none
  int written = 2;   // files written, from the first
  // The words, after "./hvn/ini/": the file named and the system's words,
  // POSIX's and Windows'.
  const char* words = "";
  const char* words_on_windows = "";
  // What each file holds after; unset: its new menu where it was written,
  // its old one where it was not.
  std::optional<std::string> apps_after, games_after;
  const char* same_files = nullptr;  // the files still the files they were ("apps.ini games.ini"), if checked
  std::optional<std::string> apps_backup, games_backup;  // unset: the old menu where it was replaced
  // A step of the row's own once the files are laid: why the row cannot run
  // here, or nothing; and what else the row looks at after, and what that
  // must be.
  std::string (*prepare)() = nullptr;
  std::string (*inspect)() = nullptr;
  const char* inspected = "";
  bool as_nobody = false;  // the save runs as user nobody, as a user who is not root
  const char* run = "";    // the shell command of a "run" fault, as another process would
  bool kept = false;       // the failed file's old menu is kept beside it, under a name of its own
  bool mixed = false;      // the failed file holds neither menu
  bool again = false;      // a second save, once the row's hold is let go, writes both
};

std::string contentOf(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "";
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

// A folder at games.ini.bak, the game menu's backup's name.
std::string folderAtGamesBackup() {
  return fs::create_directory(fs::path("hvn") / "ini" / "games.ini.bak") ? "" : "cannot make the folder";
}

#ifdef _WIN32
// A file marked read-only at games.ini.bak, which no rename replaces.
std::string readOnlyGamesBackup() {
  std::ofstream("hvn\\ini\\games.ini.bak", std::ios::binary) << "Older==o\r\n";
  return SetFileAttributesA("hvn\\ini\\games.ini.bak", FILE_ATTRIBUTE_READONLY) ? "" : "cannot mark it read-only";
}

// What another program does to a file as a Windows user works: holds it
// without sharing (a scanner, a sync client), maps it (a preview pane),
// hides it, gives it a DACL of its own. Done here, in the table's process.
HANDLE held = INVALID_HANDLE_VALUE;
std::thread letting_go;

std::string holdApps() {
  held = CreateFileA("hvn\\ini\\apps.ini", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  return held != INVALID_HANDLE_VALUE ? "" : "cannot hold apps.ini";
}
// Held for half a second, which a save waits out.
std::string holdAppsBriefly() {
  if (const std::string why = holdApps(); !why.empty()) return why;
  letting_go = std::thread([] {
    Sleep(500);
    CloseHandle(held);
    held = INVALID_HANDLE_VALUE;
  });
  return {};
}
HANDLE mapping = nullptr;
const void* view = nullptr;
std::string mapApps() {
  held = CreateFileA("hvn\\ini\\apps.ini", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, OPEN_EXISTING, 0, nullptr);
  mapping = held == INVALID_HANDLE_VALUE ? nullptr : CreateFileMappingA(held, nullptr, PAGE_READONLY, 0, 0, nullptr);
  view = mapping == nullptr ? nullptr : MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
  return view != nullptr ? "" : "cannot map apps.ini";
}
void letGo() {
  if (letting_go.joinable()) letting_go.join();
  if (view != nullptr) UnmapViewOfFile(view);
  if (mapping != nullptr) CloseHandle(mapping);
  if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
  view = nullptr, mapping = nullptr, held = INVALID_HANDLE_VALUE;
}

std::string hideApps() {
  const DWORD attributes = GetFileAttributesA("hvn\\ini\\apps.ini");
  return SetFileAttributesA("hvn\\ini\\apps.ini", attributes | FILE_ATTRIBUTE_HIDDEN) ? "" : "cannot hide apps.ini";
}
std::string appsHidden() {
  return (GetFileAttributesA("hvn\\ini\\apps.ini") & FILE_ATTRIBUTE_HIDDEN) != 0 ? "hidden" : "not hidden";
}

// apps.ini's DACL in SDDL.
std::string appsDacl() {
  char buffer[4096];
  DWORD size = 0;
  char* text = nullptr;
  if (!GetFileSecurityA("hvn\\ini\\apps.ini", DACL_SECURITY_INFORMATION, buffer, sizeof buffer, &size) ||
      !ConvertSecurityDescriptorToStringSecurityDescriptorA(buffer, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                            &text, nullptr))
    return "none";
  const std::string dacl = text;
  LocalFree(text);
  return dacl;
}
// A protected DACL for SYSTEM and the administrators alone (Wine keeps it as
// the file's Unix mode, and reads it back as SYSTEM and the user).
std::string dacl_before;
std::string protectApps() {
  PSECURITY_DESCRIPTOR security = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P(A;;FA;;;SY)(A;;FA;;;BA)", SDDL_REVISION_1,
                                                            &security, nullptr))
    return "cannot make the DACL";
  const bool set = SetFileSecurityA("hvn\\ini\\apps.ini", DACL_SECURITY_INFORMATION, security);
  LocalFree(security);
  dacl_before = appsDacl();
  return set ? "" : "cannot set the DACL";
}
std::string appsDaclKept() {
  const std::string now = appsDacl();
  return (now == dacl_before ? "as before" : "now " + now) +
         (now.find(";;;WD)") == std::string::npos ? ", Everyone shut out" : ", Everyone let in");
}
#else
// Setups and looks of POSIX's own: owners, ACLs, mounts, other users.
const fs::path kIni = fs::path("hvn") / "ini";
const passwd* nobody() { return getuid() == 0 ? getpwnam("nobody") : nullptr; }
const char* const kNeedsNobody = "handing files to user nobody takes root and that user";
fs::path mounted;  // unmounted when the row ends

bool handOver(const char* file, uid_t owner, gid_t group, mode_t mode) {
  return chown((kIni / file).c_str(), owner, group) == 0 && chmod((kIni / file).c_str(), mode) == 0;
}

// "apps.ini root:root 666, games.ini ...": each menu file's owner, group and
// permission bits.
std::string owners() {
  std::string text;
  for (const char* file : {"apps.ini", "games.ini"}) {
    struct stat info {};
    if (stat((kIni / file).c_str(), &info) != 0) return file + std::string(" missing");
    const passwd* const user = getpwuid(info.st_uid);
    const group* const team = getgrgid(info.st_gid);
    char mode[8];
    std::snprintf(mode, sizeof mode, "%03o", static_cast<unsigned>(info.st_mode & 0777));
    text += (text.empty() ? "" : ", ") + std::string(file) + " " +
            (user != nullptr ? user->pw_name : std::to_string(info.st_uid)) + ":" +
            (team != nullptr ? team->gr_name : std::to_string(info.st_gid)) + " " + mode;
  }
  return text;
}

// The owners, then apps.ini's ACL and its extended attribute.
std::string ownersAclAndAttribute() {
  std::string acl;
  if (std::FILE* const getfacl = popen("getfacl -cp hvn/ini/apps.ini 2>/dev/null", "r")) {
    for (int c; (c = std::fgetc(getfacl)) != EOF;) acl += c == '\n' ? ' ' : static_cast<char>(c);
    pclose(getfacl);
  }
  char note[8] = "";
  const ssize_t size = getxattr("hvn/ini/apps.ini", "user.note", note, sizeof note);
  return owners() + "; " + acl + "; note=" + std::string(note, size > 0 ? static_cast<std::size_t>(size) : 0);
}

// A file mounted over apps.ini, as a container's volume file is.
std::string bindMountApps() {
  if (getuid() != 0) return "a bind mount takes root";
  std::ofstream("bound-apps.ini", std::ios::binary) << kOldApps;
  if (mount("bound-apps.ini", "hvn/ini/apps.ini", nullptr, MS_BIND, nullptr) != 0)
    return std::string("cannot bind-mount a file here: ") + std::strerror(errno);
  mounted = fs::absolute("hvn/ini/apps.ini");
  return {};
}
std::string boundFile() { return contentOf("bound-apps.ini"); }

// hvn/ini open to all with the sticky bit, as /tmp is, holding root's
// writable apps.ini and nobody's games.ini.
std::string stickyFolder() {
  if (nobody() == nullptr) return kNeedsNobody;
  fs::permissions(kIni, fs::perms(01777));
  return handOver("apps.ini", 0, 0, 0666) && handOver("games.ini", nobody()->pw_uid, nobody()->pw_gid, 0644)
             ? ""
             : std::strerror(errno);
}

// apps.ini of user 1001 in nobody's group, which may write it.
std::string groupMembersFile() {
  if (nobody() == nullptr) return kNeedsNobody;
  fs::permissions(kIni, fs::perms(0777));
  return handOver("apps.ini", 1001, nobody()->pw_gid, 0664) &&
                 handOver("games.ini", nobody()->pw_uid, nobody()->pw_gid, 0644)
             ? ""
             : std::strerror(errno);
}

// apps.ini of user 1001 and group 2000, with an ACL entry for nobody and an
// extended attribute of its own.
std::string ownerAclAndAttribute() {
  if (getuid() != 0) return "handing a file to another user takes root";
  if (!handOver("apps.ini", 1001, 2000, 0664) || setxattr("hvn/ini/apps.ini", "user.note", "hi", 2, 0) != 0)
    return std::string("cannot give the file an owner and an attribute: ") + std::strerror(errno);
  return std::system("setfacl -m u:nobody:rw- hvn/ini/apps.ini 2>/dev/null") == 0
             ? ""
             : "setfacl (Debian's acl) is not here or this file system has no ACLs";
}

// apps.ini root:2000 0660 without an ACL, in a folder whose default ACL
// grants nobody reading and writing.
std::string defaultAclFolder() {
  if (getuid() != 0 || !handOver("apps.ini", 0, 2000, 0660)) return "handing a file to a group takes root";
  setxattr("hvn/ini/apps.ini", "user.note", "hi", 2, 0);  // told apart from other attributes
  return std::system("setfacl -d -m u:nobody:rw- hvn/ini 2>/dev/null") == 0
             ? ""
             : "setfacl (Debian's acl) is not here or this file system has no ACLs";
}

// hvn, hvn/ini and what stands in it are nobody's; elsewhere/ and its files
// are root's alone.
std::string nobodysFolder() {
  if (nobody() == nullptr) return kNeedsNobody;
  for (const fs::path& path : {fs::path("hvn"), kIni, kIni / "apps.ini", kIni / "games.ini"})
    if (lchown(path.c_str(), nobody()->pw_uid, nobody()->pw_gid) != 0) return std::strerror(errno);
  fs::create_directories("elsewhere");
  fs::permissions("elsewhere", fs::perms(0700));
  return {};
}

// In nobody's folder, apps.ini is nobody's link to elsewhere/apps.ini, a file
// root alone may read.
std::string linkToRootOnly() {
  if (const std::string why = nobodysFolder(); !why.empty()) return why;
  std::ofstream("elsewhere/apps.ini", std::ios::binary) << kOldApps;
  fs::permissions("elsewhere/apps.ini", fs::perms(0600));
  fs::remove(kIni / "apps.ini");
  fs::create_symlink(fs::absolute("elsewhere/apps.ini"), kIni / "apps.ini");
  return lchown("hvn/ini/apps.ini", nobody()->pw_uid, nobody()->pw_gid) == 0 ? "" : std::strerror(errno);
}
std::string rootOnlyFile() { return contentOf("elsewhere/apps.ini"); }

// The same, but the link at apps.ini is root's: nobody's folder could have
// been given it from elsewhere.
std::string rootsLinkInNobodysFolder() {
  if (const std::string why = linkToRootOnly(); !why.empty()) return why;
  return lchown("hvn/ini/apps.ini", 0, 0) == 0 ? "" : std::strerror(errno);
}

// In nobody's folder, games.ini is nobody's link to elsewhere/games.ini,
// which is not there.
std::string danglingLink() {
  if (const std::string why = nobodysFolder(); !why.empty()) return why;
  fs::remove(kIni / "games.ini");
  fs::create_symlink(fs::absolute("elsewhere/games.ini"), kIni / "games.ini");
  return lchown("hvn/ini/games.ini", nobody()->pw_uid, nobody()->pw_gid) == 0 ? "" : std::strerror(errno);
}
std::string elsewhere() { return fs::exists("elsewhere/games.ini") ? "made" : "not made"; }

// hvn/ini is root's and open to group 2000 (2775), where a member could
// have hard-linked any file as a menu file.
std::string groupWritableFolder() {
  return chown(kIni.c_str(), 0, 2000) == 0 && chmod(kIni.c_str(), 02775) == 0 ? "" : std::strerror(errno);
}

// hvn is nobody's, and ini in it nobody's own absolute link to elsewhere/,
// nobody's folder holding the menu files.
std::string ownAbsoluteLink() {
  if (nobody() == nullptr) return kNeedsNobody;
  fs::rename(kIni, "elsewhere");
  fs::create_directory_symlink(fs::absolute("elsewhere"), kIni);
  for (const fs::path& path : {fs::path("hvn"), kIni, fs::path("elsewhere"), fs::path("elsewhere/apps.ini"),
                               fs::path("elsewhere/games.ini")})
    if (lchown(path.c_str(), nobody()->pw_uid, nobody()->pw_gid) != 0) return std::strerror(errno);
  return {};
}

// hvn/ini is user 1001's, shared with nobody's group (2775), and the menu
// files in it are nobody's.
std::string sharedGroupFolder() {
  if (nobody() == nullptr) return kNeedsNobody;
  return chown(kIni.c_str(), 1001, nobody()->pw_gid) == 0 && chmod(kIni.c_str(), 02775) == 0 &&
                 handOver("apps.ini", nobody()->pw_uid, nobody()->pw_gid, 0664) &&
                 handOver("games.ini", nobody()->pw_uid, nobody()->pw_gid, 0664)
             ? ""
             : std::strerror(errno);
}

// The same, with user 1001's older games.ini.bak there, which the folder
// (group-writable, not sticky) lets nobody replace.
std::string othersBackupInGroupFolder() {
  if (const std::string why = sharedGroupFolder(); !why.empty()) return why;
  std::ofstream(kIni / "games.ini.bak", std::ios::binary) << kOlder;
  return handOver("games.ini.bak", 1001, nobody()->pw_gid, 0664) ? "" : std::strerror(errno);
}

// In nobody's folder, root's folder ini and its files.
std::string rootsFolderInNobodysFolder() {
  if (const std::string why = nobodysFolder(); !why.empty()) return why;
  for (const fs::path& path : {kIni, kIni / "apps.ini", kIni / "games.ini"})
    if (lchown(path.c_str(), 0, 0) != 0) return std::strerror(errno);
  return {};
}

// In nobody's folder, root's apps.ini.
std::string rootsFileInNobodysFolder() {
  if (const std::string why = nobodysFolder(); !why.empty()) return why;
  return lchown("hvn/ini/apps.ini", 0, 0) == 0 ? "" : std::strerror(errno);
}

// The sticky folder above, with root's games.ini.bak in it, which nobody may
// not replace.
std::string othersBackupInStickyFolder() {
  if (const std::string why = stickyFolder(); !why.empty()) return why;
  std::ofstream("hvn/ini/games.ini.bak", std::ios::binary) << "Older==o\r\n";
  return {};
}

// The folder the save starts in is user 64001's, shared with nobody's group
// (2775); hvn, hvn/ini and the menu files in it are nobody's own.
std::string ownFolderInOthersGroupFolder() {
  if (nobody() == nullptr) return kNeedsNobody;
  for (const fs::path& path : {fs::path("hvn"), kIni, kIni / "apps.ini", kIni / "games.ini"})
    if (lchown(path.c_str(), nobody()->pw_uid, nobody()->pw_gid) != 0) return std::strerror(errno);
  return chown(".", 64001, nobody()->pw_gid) == 0 && chmod(".", 02775) == 0 ? "" : std::strerror(errno);
}

// hvn/ini is nobody's drop box (mode 0300: written, never listed).
std::string dropBoxFolder() {
  if (const std::string why = nobodysFolder(); !why.empty()) return why;
  fs::permissions(kIni, fs::perms(0300));
  return {};
}

// hvn/ini is a file system of two pages (a tmpfs of 8 KiB) holding what it
// held, hard links kept: full with the two files.
std::string smallDisk() {
  if (getuid() != 0) return "mounting a small file system takes root";
  fs::rename(kIni, "ini-aside");
  fs::create_directory(kIni);
  if (mount("tmpfs", kIni.c_str(), "tmpfs", 0, "size=8k,mode=755") != 0)
    return std::string("cannot mount a small file system here: ") + std::strerror(errno);
  mounted = fs::absolute(kIni);
  return std::system("cp -a ini-aside/. hvn/ini/ && rm -r ini-aside") == 0 ? "" : "cannot fill the small file system";
}

// hvn/ini is a file system mounted nosuid, as a desktop mounts a stick, on
// which apps.ini is root's link off it, to elsewhere/apps.ini, root's alone.
std::string linkOffNosuidMedia() {
  if (getuid() != 0) return "mounting a file system takes root";
  fs::create_directories("elsewhere");
  std::ofstream("elsewhere/apps.ini", std::ios::binary) << kOldApps;
  fs::permissions("elsewhere/apps.ini", fs::perms(0600));
  fs::rename(kIni, "ini-aside");
  fs::create_directory(kIni);
  if (mount("tmpfs", kIni.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k,mode=755") != 0)
    return std::string("cannot mount a file system here: ") + std::strerror(errno);
  mounted = fs::absolute(kIni);
  if (std::system("cp -a ini-aside/. hvn/ini/ && rm -r ini-aside") != 0) return "cannot fill the file system";
  fs::remove(kIni / "apps.ini");
  fs::create_symlink(fs::absolute("elsewhere/apps.ini"), kIni / "apps.ini");
  return {};
}

// apps.ini is root's link, on an ordinary file system, to elsewhere/apps.ini
// on a file system of its own (a tmpfs), as a menu kept on a stick.
std::string linkOntoOtherMedia() {
  if (getuid() != 0) return "mounting a file system takes root";
  fs::create_directories("elsewhere");
  if (mount("tmpfs", "elsewhere", "tmpfs", 0, "size=64k,mode=755") != 0)
    return std::string("cannot mount a file system here: ") + std::strerror(errno);
  mounted = fs::absolute("elsewhere");
  std::ofstream("elsewhere/apps.ini", std::ios::binary) << kOldApps;
  fs::remove(kIni / "apps.ini");
  fs::create_symlink(fs::absolute("elsewhere/apps.ini"), kIni / "apps.ini");
  return {};
}

// The menus' folder is gone by the save.
std::string iniGone() {
  fs::remove_all(kIni);
  return {};
}
std::string whatStandsAtIni() { return fs::exists(kIni) ? "something" : "nothing"; }

// hvn/ini is root's and open to group 2000 (2775); apps.ini there is root's
// link to mine/apps.ini, and elsewhere/apps.ini is root's alone.
std::string rootsLinkInGroupFolder() {
  if (const std::string why = groupWritableFolder(); !why.empty()) return why;
  fs::create_directories("mine");
  fs::rename(kIni / "apps.ini", "mine/apps.ini");
  fs::create_symlink(fs::absolute("mine/apps.ini"), kIni / "apps.ini");
  fs::create_directories("elsewhere");
  std::ofstream("elsewhere/apps.ini", std::ios::binary) << kOldApps;
  return {};
}
std::string rootOnlyAndMine() { return contentOf("elsewhere/apps.ini") + "|" + contentOf("mine/apps.ini"); }

// apps.ini has the permission bits its backup is made with.
std::string privateApps() {
  fs::permissions(kIni / "apps.ini", fs::perms(0600));
  return {};
}

// The same, in a folder hvn of nobody's: a mount point there is root's own.
std::string mountPointInNobodysFolder() {
  if (nobody() == nullptr) return kNeedsNobody;
  if (const std::string why = smallDisk(); !why.empty()) return why;
  return chown("hvn", nobody()->pw_uid, 0) == 0 ? "" : std::strerror(errno);
}

// hvn moved to the end of a chain of folders whose path is longer than any
// path a system call takes (17 names of 255 bytes), each reached through a
// short link, and the save made from there.
std::string deepFolder() {
  const std::string name(255, 'd');
  fs::path at = fs::current_path();
  for (int level = 1; level <= 17; ++level) {
    fs::create_directory(at / name);
    fs::create_directory_symlink(at / name, "level" + std::to_string(level));
    at = fs::current_path() / ("level" + std::to_string(level));
  }
  fs::rename("hvn", at / "hvn");
  return chdir(at.c_str()) == 0 ? "" : std::strerror(errno);
}

// Runs the save in a child process as user nobody; its result.
FilesWrite replaceAsNobody(const FileReplacement* files, int count) {
  FilesWrite result;
  int channel[2];
  if (pipe(channel) != 0) return result;
  const pid_t child = fork();
  if (child == 0) {
    const FilesWrite write = setgid(nobody()->pw_gid) == 0 && setuid(nobody()->pw_uid) == 0 ? replaceFiles(files, count)
                                                                                              : FilesWrite{};
    _exit(::write(channel[1], &write, sizeof write) == sizeof write ? 0 : 1);
  }
  close(channel[1]);
  if (read(channel[0], &result, sizeof result) != sizeof result) result.failed = -2;
  close(channel[0]);
  waitpid(child, nullptr, 0);
  return result;
}
#endif

const WriterCase kWriterCases[] = {
    // What stands at the names.
    {.what = "both replaced", .same_files = ""},
    {.what = "a vanished file made anew", .layout = Layout::kAppsVanished},
    {.what = "a vanished game menu made anew", .layout = Layout::kGamesVanished},
    {.what = "a read-only file never written", .layout = Layout::kGamesReadOnly, .failed = 1, .written = 0,
     .words = "games.ini: Permission denied", .words_on_windows = "games.ini: Access denied"},
    {.what = "a folder at the game menu", .layout = Layout::kGamesFolder, .failed = 1, .written = 0,
     .words = "games.ini: Is a directory", .words_on_windows = "games.ini: Access denied"},
    {.what = "a device that is full", .layout = Layout::kAppsFullDevice, .failed = 0, .written = 0,
     .words = "apps.ini: No space left on device"},
    {.what = "a hard-linked file written in place", .layout = Layout::kAppsHardLinked, .same_files = "apps.ini"},
    {.what = "a large hard-linked file shrinks in place", .layout = Layout::kAppsLargeHardLinked, .same_files = "apps.ini"},
    {.what = "a symbolic link stays a link", .layout = Layout::kGamesSymlinked, .games_backup = ""},
    {.what = "permission bits kept, the backup's too", .layout = Layout::kModes},
    {.what = "older backups replaced; a blank menu leaves its own", .layout = Layout::kOlderBackups, .games_backup = kOlder},
    // What fails, on an ordinary pair of files.
    {.what = "a copy that finds no room is not written in place", .fails = kCopyFindsNoRoom, .failed = 0, .written = 0,
     .words = "apps.ini: No space left on device", .words_on_windows = "apps.ini: Disk full"},
    {.what = "a copy not flushed: written in place", .fails = kCopyUnflushed, .same_files = "apps.ini"},
    {.what = "a copy not closed: written in place", .fails = kCopyUnclosed, .same_files = "apps.ini"},
    {.what = "a copy that cannot take its place: written in place", .fails = kCopyNotMoved, .same_files = "apps.ini"},
    {.what = "a copy refused: written in place", .fails = kCopyRefused, .same_files = "apps.ini"},
    {.what = "security that cannot be read: written in place", .fails = kSecurityUnreadable, .same_files = "apps.ini"},
    {.what = "a write-protected file", .fails = kFileWriteProtected, .failed = 0, .written = 0,
     .words_on_windows = "apps.ini: Write protected"},
    {.what = "security that cannot be given once in place: said", .fails = kSecurityNotGiven, .failed = 0,
     .words_on_windows = "apps.ini: Access denied"},
    {.what = "a folder not flushed: written, and said", .fails = kFolderUnflushed, .failed = 0,
     .words = "apps.ini: Input/output error", .same_files = ""},
    {.what = "a folder not opened for its flush: said", .fails = kFolderUnopened, .failed = 0,
     .words = "apps.ini: Input/output error"},
    {.what = "a folder not closed after its flush: no failure", .fails = kFolderUnclosed, .same_files = ""},
    {.what = "a backup that cannot take its name", .fails = kBackupNotMoved, .failed = 0, .written = 0,
     .words = "apps.ini.bak: Invalid cross-device link", .words_on_windows = "apps.ini.bak: Not same device"},
    {.what = "a backup that cannot take its name once the other file is written: kept", .fails = kGamesBackupNotMoved,
     .failed = 1, .written = 1, .words = "games.ini.bak: Invalid cross-device link",
     .words_on_windows = "games.ini.bak: Not same device", .kept = true},
    {.what = "a write in place cut short, then failed, puts the old menu back", .layout = Layout::kAppsLongHardLinked,
     .fails = kShortThenFull, .failed = 0, .written = 0, .words = "apps.ini: Disk quota exceeded",
     .words_on_windows = "apps.ini: Disk full", .apps_backup = kLongApps},
    {.what = "a write in place with no room to grow keeps the older backup", .layout = Layout::kAppsShortHardLinked,
     .fails = kNoRoomToGrow, .failed = 0, .written = 0, .words = "apps.ini: No space left on device",
     .words_on_windows = "apps.ini: Disk full", .apps_backup = kOlder},
    // What fails where a file has vanished: it is made anew, or not at all.
    {.what = "a vanished file's copy that finds no room", .layout = Layout::kAppsVanished, .fails = kCopyFindsNoRoom,
     .failed = 0, .written = 0, .words = "apps.ini: No space left on device", .words_on_windows = "apps.ini: Disk full"},
    {.what = "a vanished file's copy not flushed", .layout = Layout::kAppsVanished, .fails = kCopyUnflushed, .failed = 0,
     .written = 0, .words = "apps.ini: Input/output error", .words_on_windows = "apps.ini: I/O device error"},
    {.what = "a vanished file's copy not closed", .layout = Layout::kAppsVanished, .fails = kCopyUnclosed, .failed = 0,
     .written = 0, .words = "apps.ini: Input/output error", .words_on_windows = "apps.ini: Network name deleted"},
    {.what = "a vanished file's copy that cannot take its place", .layout = Layout::kAppsVanished,
     .fails = kFreshCopyNotMoved, .failed = 0, .written = 0, .words = "apps.ini: Input/output error",
     .words_on_windows = "apps.ini: I/O device error"},
    {.what = "a vanished file's name taken meanwhile: not replaced", .layout = Layout::kAppsVanished,
     .fails = kNameTakenMeanwhile, .failed = 0, .written = 0, .words = "apps.ini: File exists", .apps_after = "S==s\n",
     .run = kPutAnotherFile},
    {.what = "a vanished file's folder not flushed: said", .layout = Layout::kAppsVanished, .fails = kFolderUnflushed,
     .failed = 0, .words = "apps.ini: Input/output error"},
    // What stands at a backup's name is judged before either file changes.
    {.what = "a folder at the game menu's backup: nothing written", .failed = 1, .written = 0,
     .words = "games.ini.bak: Is a directory", .words_on_windows = "games.ini.bak: Access denied",
     .prepare = folderAtGamesBackup},
#ifdef _WIN32
    {.what = "a read-only file at the game menu's backup: nothing written", .failed = 1, .written = 0,
     .words_on_windows = "games.ini.bak: Access denied", .games_backup = "Older==o\r\n",
     .prepare = readOnlyGamesBackup},
    // Other programs at work on a file, and what Windows keeps of it. Wine
    // lets a held file be replaced by a rename, so only writing in place
    // shows the wait there.
    {.what = "a brief hold is waited for", .layout = Layout::kAppsHardLinked, .same_files = "apps.ini",
     .prepare = holdAppsBriefly},
    {.what = "a long hold fails the save, and once let go it saves", .layout = Layout::kAppsHardLinked, .failed = 0,
     .written = 0, .words_on_windows = "apps.ini: Sharing violation", .prepare = holdApps, .again = true},
    {.what = "a mapped file reads as the new menu and blank lines", .failed = 0, .written = 0,
     .words_on_windows = "apps.ini: File has a user-mapped section",
     .apps_after = kNewApps + "\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n",
     .apps_backup = kOldApps, .prepare = mapApps},
    {.what = "a hidden file stays hidden", .prepare = hideApps, .inspect = appsHidden, .inspected = "hidden"},
    {.what = "a hidden file written in place stays hidden", .layout = Layout::kAppsHardLinked, .prepare = hideApps,
     .inspect = appsHidden, .inspected = "hidden"},
    {.what = "a protected DACL kept", .prepare = protectApps, .inspect = appsDaclKept,
     .inspected = "as before, Everyone shut out"},
#else
    // Owners, ACLs, mounts and other users.
    {.what = "a bind-mounted file written in place", .prepare = bindMountApps, .inspect = boundFile,
     .inspected = "B==e:\\b\r\n"},
    {.what = "another user's file in a sticky folder written in place", .prepare = stickyFolder, .inspect = owners,
     .inspected = "apps.ini root:root 666, games.ini nobody:nogroup 644", .as_nobody = true},
    {.what = "a group member keeps the owner", .prepare = groupMembersFile, .inspect = owners,
     .inspected = "apps.ini 1001:nogroup 664, games.ini nobody:nogroup 644", .as_nobody = true},
    {.what = "owner, group, ACL and attribute kept", .prepare = ownerAclAndAttribute, .inspect = ownersAclAndAttribute,
     .inspected = "apps.ini 1001:2000 664, games.ini root:root 644; user::rw- user:nobody:rw- group::rw- mask::rw- "
                  "other::r--  ; note=hi"},
    {.what = "a folder's default ACL not handed to the menu", .prepare = defaultAclFolder,
     .inspect = ownersAclAndAttribute,
     .inspected = "apps.ini root:2000 660, games.ini root:root 644; user::rw- group::rw- other::---  ; note=hi"},
    {.what = "another user's file at the backup's name in a sticky folder: nothing written", .failed = 1,
     .written = 0, .words = "games.ini.bak: Operation not permitted", .games_backup = "Older==o\r\n",
     .prepare = othersBackupInStickyFolder, .as_nobody = true},
    {.what = "nobody's own folder in another member's group folder saved", .prepare = ownFolderInOthersGroupFolder,
     .as_nobody = true},
    {.what = "a drop-box folder saved by its user", .prepare = dropBoxFolder, .as_nobody = true},
    {.what = "nobody's own absolute link followed", .prepare = ownAbsoluteLink, .as_nobody = true},
    {.what = "nobody's own file in a shared group folder saved", .prepare = sharedGroupFolder, .as_nobody = true},
    {.what = "another member's older backup in a group folder replaced", .prepare = othersBackupInGroupFolder,
     .as_nobody = true},
    // Root in a folder nobody controls: nothing nobody could have planted is
    // read or written, and the refusal says which step and whose.
    {.what = "nobody's link to a root-only file not followed", .failed = 0, .written = 0,
     .words = "apps.ini: hvn/ini/apps.ini is nobody's and leads to /, which is yours; not followed, as nobody could "
              "have pointed it anywhere",
     .prepare = linkToRootOnly, .inspect = rootOnlyFile,
     .inspected = "OldApp==e:\\oldapp\\default.xbe\r\n"},
    {.what = "root's link in nobody's folder not followed", .failed = 0, .written = 0,
     .words = "apps.ini: hvn/ini is nobody's and leads to hvn/ini/apps.ini, which is yours; not followed, as nobody "
              "could have pointed it anywhere",
     .prepare = rootsLinkInNobodysFolder, .inspect = rootOnlyFile,
     .inspected = "OldApp==e:\\oldapp\\default.xbe\r\n"},
    {.what = "root's hard-linked file in nobody's folder not used", .layout = Layout::kAppsHardLinked, .failed = 0,
     .written = 0,
     .words = "apps.ini: hvn/ini is nobody's and leads to hvn/ini/apps.ini, which is yours; not followed, as nobody "
              "could have pointed it anywhere",
     .prepare = rootsFileInNobodysFolder},
    {.what = "root's folder in nobody's folder not followed", .failed = 0, .written = 0,
     .words = "apps.ini: hvn is nobody's and leads to hvn/ini, which is yours; not followed, as nobody could have "
              "pointed it anywhere",
     .prepare = rootsFolderInNobodysFolder},
    {.what = "nobody's dangling link into a root-only folder not followed", .failed = 1, .written = 0,
     .words = "games.ini: hvn/ini/games.ini is nobody's and leads to /, which is yours; not followed, as nobody could "
              "have pointed it anywhere",
     .games_after = "", .prepare = danglingLink, .inspect = elsewhere, .inspected = "not made"},
    {.what = "a hard link in a folder others may write not used", .layout = Layout::kAppsHardLinked, .failed = 0,
     .written = 0,
     .words = "apps.ini: hvn/ini/apps.ini has 2 names in a folder others may write; not used, as another user could "
              "have linked it there",
     .prepare = groupWritableFolder},
    {.what = "another file put at the name before its backup reads it", .fails = kSwappedBeforeBackupRead,
     .failed = 0, .written = 0, .words = "apps.ini: Resource temporarily unavailable", .apps_after = "S==s\n",
     .run = kPutAnotherFile},
    {.what = "another file put at the name before it is written in place", .layout = Layout::kAppsHardLinked,
     .fails = kSwappedBeforeWriteInPlace, .failed = 0, .written = 0, .words = "apps.ini: Resource temporarily unavailable",
     .apps_after = "S==s\n", .run = kPutAnotherFile},
    {.what = "nobody's link swapped in between two looks not followed", .fails = kSwappedAtFirstOpen, .failed = 0,
     .written = 0, .words = "apps.ini: Too many levels of symbolic links", .apps_after = "S==s",
     .prepare = nobodysFolder, .inspect = rootOnlyFile, .inspected = "S==s",
     .run = "printf S==s > elsewhere/apps.ini && chmod 600 elsewhere/apps.ini && ln -sfn \"$PWD/elsewhere/apps.ini\" "
            "hvn/ini/apps.ini && chown -h nobody hvn/ini/apps.ini"},
    {.what = "a link swapped between its look and its read: the one looked at is followed", .fails = kLinkSwapped,
     .apps_after = kOldApps, .apps_backup = "", .prepare = rootsLinkInGroupFolder, .inspect = rootOnlyAndMine,
     .inspected = "OldApp==e:\\oldapp\\default.xbe\r\n|B==e:\\b\r\n",
     .run = "ln -s \"$PWD/elsewhere/apps.ini\" x && chown -h 2001 x && mv -T x hvn/ini/apps.ini"},
    {.what = "root's link on nosuid media leading off it not followed", .failed = 0, .written = 0,
     .words = "apps.ini: hvn/ini/apps.ini is on a file system mounted nosuid, where owners prove nothing, and leads off "
              "it to /; not followed",
     .prepare = linkOffNosuidMedia, .inspect = rootOnlyFile, .inspected = "OldApp==e:\\oldapp\\default.xbe\r\n"},
    {.what = "root's link onto another file system followed", .apps_backup = "", .prepare = linkOntoOtherMedia,
     .inspect = rootOnlyFile, .inspected = "B==e:\\b\r\n"},
    {.what = "the menus' folder gone by the save: nothing made in its place", .failed = 0, .written = 0,
     .words = "apps.ini: No such file or directory", .apps_after = "", .games_after = "", .apps_backup = "",
     .games_backup = "", .prepare = iniGone, .inspect = whatStandsAtIni, .inspected = "nothing"},
    {.what = "a permission change that would change nothing: no failure", .fails = kModeUnchangeable,
     .prepare = privateApps},
    {.what = "a full disk with a hard-linked file: no room for the backup", .layout = Layout::kAppsLongHardLinked,
     .failed = 0, .written = 0, .words = "apps.ini.bak: No space left on device",
     .prepare = smallDisk},
    {.what = "a mount point in nobody's folder followed", .layout = Layout::kEmptyMenus,
     .prepare = mountPointInNobodysFolder},
    {.what = "a folder deeper than a path can name", .prepare = deepFolder},
#endif
};


void setFault(const char* fault, const char* run = "") {
#ifdef _WIN32
  _putenv_s("HVN_FAULT", fault);
  _putenv_s("HVN_FAULT_RUN", run);
#else
  setenv("HVN_FAULT", fault, 1);
  setenv("HVN_FAULT_RUN", run, 1);
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
#ifdef _WIN32
    letGo();
#else
    if (!mounted.empty()) umount2(mounted.c_str(), MNT_DETACH);
    mounted.clear();
#endif
    fs::current_path(before);
    std::error_code failed;
    fs::permissions(folder / "hvn" / "ini" / "games.ini", fs::perms::owner_write, fs::perm_options::add, failed);
    fs::remove(folder / "hvn" / "ini" / "games.ini", failed);  // a link, not what it names
    fs::remove_all(folder, failed);
    // A folder deeper than a path can name is more than remove_all can take.
    if (failed && std::system(("rm -rf '" + folder.string() + "'").c_str()) != 0) std::fprintf(stderr, "left %s\n", folder.string().c_str());
  }
};

// The old menus as the row's layout has them; true where it can be laid here.
bool lay(Layout layout, std::string& old_apps, std::string& old_games) {
  const fs::path ini = fs::path("hvn") / "ini";
  old_apps = layout == Layout::kAppsLongHardLinked ? kLongApps : layout == Layout::kAppsShortHardLinked ? "O==o\r\n" : kOldApps;
  if (layout == Layout::kAppsLargeHardLinked)
    for (int i = 1; i < 3000; ++i) old_apps += kOldApps;
  old_games = layout == Layout::kOlderBackups ? "\r\n" : kOldGames;
  if (layout == Layout::kAppsVanished || layout == Layout::kEmptyMenus) old_apps.clear();
  if (layout == Layout::kEmptyMenus) old_games.clear();
  if (layout == Layout::kGamesVanished || layout == Layout::kGamesFolder) old_games.clear();
  if (layout != Layout::kAppsVanished) std::ofstream(ini / "apps.ini", std::ios::binary) << old_apps;
  if (layout == Layout::kGamesSymlinked) {
    if (kWindows) return false;  // Wine shows a Windows program the file a Unix link names
    fs::create_directory("elsewhere");
    std::ofstream("elsewhere/games.ini", std::ios::binary) << old_games;
    fs::create_symlink(fs::absolute("elsewhere/games.ini"), ini / "games.ini");
  } else if (layout == Layout::kGamesFolder) {
    fs::create_directory(ini / "games.ini");
  } else if (layout != Layout::kGamesVanished) {
    std::ofstream(ini / "games.ini", std::ios::binary) << old_games;
  }
  switch (layout) {
    case Layout::kGamesReadOnly: fs::permissions(ini / "games.ini", fs::perms(0444)); break;
    case Layout::kAppsHardLinked:
    case Layout::kAppsLongHardLinked:
    case Layout::kAppsLargeHardLinked: fs::create_hard_link(ini / "apps.ini", ini / "other-name-apps.ini"); break;
    case Layout::kAppsShortHardLinked:
      fs::create_hard_link(ini / "apps.ini", ini / "other-name-apps.ini");
      std::ofstream(ini / "apps.ini.bak", std::ios::binary) << kOlder;
      break;
    case Layout::kModes:
      if (kWindows) return false;  // Windows keeps a file's attributes, not POSIX permission bits
      fs::permissions(ini / "games.ini", fs::perms(0640));
      fs::permissions(ini / "apps.ini", fs::perms(0604));
      break;
    case Layout::kOlderBackups:
      for (const char* backup : {"apps.ini.bak", "games.ini.bak"}) std::ofstream(ini / backup, std::ios::binary) << kOlder;
      break;
    case Layout::kAppsFullDevice:
#ifdef _WIN32
      return false;  // a device node is a Linux file
#else
      fs::remove(ini / "apps.ini");
      return mknod((ini / "apps.ini").c_str(), S_IFCHR | 0666, makedev(1, 7)) == 0;
#endif
    default: break;
  }
  return true;
}

// Which file stands at `path`, as the writer tells files apart.
FileIdentity identityOf(const fs::path& path) {
  FileIdentity identity;
  char words[kWordsSize];
  const int fd = openToRead(path.string().c_str(), words);
  if (fd >= 0 && !fileIdentity(fd, identity)) identity = {};
  if (fd >= 0) closeFile(fd);
  return identity;
}

// "apps.ini 604, games.ini 640, games.ini.bak 640": the permission bits.
std::string modesOf(const fs::path& ini) {
  std::string modes;
  for (const char* file : {"apps.ini", "games.ini", "games.ini.bak"}) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%03o", static_cast<unsigned>(fs::status(ini / file).permissions()) & 0777);
    modes += (modes.empty() ? "" : ", ") + std::string(file) + " " + mode;
  }
  return modes;
}

void PrintTo(const WriterCase& c, std::ostream* out) { *out << c.what; }

class FileWriter : public testing::TestWithParam<WriterCase> {};

TEST_P(FileWriter, EachFileIsOldOrNewAndTheFailureIsNamed) {
  const WriterCase& c = GetParam();
  const char* const fault = kWindows ? c.fails.windows : c.fails.posix;
  if (*fault == '\0' && (c.fails.posix[0] != '\0' || c.fails.windows[0] != '\0')) GTEST_SKIP() << "no such call here";
  InScratch scratch(c.what);
  std::string old_apps, old_games;
  if (!lay(c.layout, old_apps, old_games)) GTEST_SKIP() << "a layout of the other system's, or not possible here";
  const fs::path ini = fs::path("hvn") / "ini";
  const FileIdentity apps_was = identityOf(ini / "apps.ini"), games_was = identityOf(ini / "games.ini");
  if (c.prepare != nullptr) {
    if (const std::string why = c.prepare(); !why.empty()) GTEST_SKIP() << why;
  }
  const FileReplacement files[] = {{kAppMenuPath, kNewApps}, {kGameMenuPath, kNewGames}};
  setFault(fault, c.run);
#ifdef _WIN32
  const FilesWrite write = replaceFiles(files, 2);
  letGo();
#else
  const FilesWrite write = c.as_nobody ? replaceAsNobody(files, 2) : replaceFiles(files, 2);
#endif
  EXPECT_EQ(hvnFaultsStruck() > 0, *fault != '\0') << "the fault named no call";
  setFault("");

  EXPECT_EQ(write.failed, c.failed) << write.words;
  EXPECT_EQ(write.written, c.written);
  const std::string words = kWindows ? c.words_on_windows : c.words;
  const std::string in_ini = std::string(kAppMenuPath, sizeof kAppMenuPath - sizeof "apps.ini");
  EXPECT_EQ(std::string(write.words).substr(0, in_ini.size() + words.size()), words.empty() ? "" : in_ini + words);
  // Each file, and every other name of it, holds its old menu or its new one.
  if (c.layout != Layout::kAppsFullDevice) {
    EXPECT_EQ(contentOf(ini / "apps.ini"), c.apps_after.value_or(c.written > 0 ? kNewApps : old_apps));
    if (fs::exists(ini / "other-name-apps.ini")) {
      const std::string other = contentOf(ini / "other-name-apps.ini");
      EXPECT_TRUE(other == old_apps || other == kNewApps) << other;
    }
  }
  if (c.layout != Layout::kGamesFolder) {
    EXPECT_EQ(contentOf(ini / "games.ini"), c.games_after.value_or(c.written > 1 ? kNewGames : old_games));
  }
  if (c.layout == Layout::kGamesSymlinked) {  // its backup is beside the file it names
    EXPECT_TRUE(fs::is_symlink(ini / "games.ini"));
    EXPECT_EQ(contentOf("elsewhere/games.ini.bak"), old_games);
  }
  if (c.layout == Layout::kModes) {
    EXPECT_EQ(modesOf(ini), "apps.ini 604, games.ini 640, games.ini.bak 640");
  }
  if (c.same_files != nullptr) {
    const auto same = [](const FileIdentity& a, const FileIdentity& b) { return a.device == b.device && a.file == b.file; };
    const bool apps_same = same(apps_was, identityOf(ini / "apps.ini"));
    const bool games_same = same(games_was, identityOf(ini / "games.ini"));
    const std::string now = std::string(apps_same ? "apps.ini" : "") + (apps_same && games_same ? " " : "") +
                            (games_same ? "games.ini" : "");
    EXPECT_EQ(now, c.same_files) << "the files that are still the files they were";
  }
  if (c.inspect != nullptr) {
    EXPECT_EQ(c.inspect(), c.inspected);
  }
  // An old menu replaced that held an entry is kept beside it; nothing else is left.
  const auto backup = [&](int file, const std::string& old) {
    return c.written > file && old.find_first_not_of("\r\n") != std::string::npos ? old : "";
  };
  const std::string older = c.layout == Layout::kOlderBackups ? kOlder : "";
  EXPECT_EQ(contentOf(ini / "apps.ini.bak"), c.apps_backup.value_or(backup(0, old_apps) + (backup(0, old_apps).empty() ? older : "")));
  EXPECT_EQ(contentOf(ini / "games.ini.bak"), c.games_backup.value_or(backup(1, old_games) + (backup(1, old_games).empty() ? older : "")));
  EXPECT_EQ(write.backup_kept[0] != '\0', c.kept) << write.backup_kept;
  EXPECT_EQ(write.mixed, c.mixed);
  if (c.kept) {
    EXPECT_EQ(contentOf(ini / write.backup_kept), c.failed == 0 ? old_apps : old_games);
  }
  std::error_code no_folder;
  for (const auto& entry : fs::directory_iterator(ini, no_folder)) {
    const std::string name = entry.path().filename().string();
    EXPECT_TRUE(name == "apps.ini" || name == "games.ini" || name == "apps.ini.bak" || name == "games.ini.bak" ||
                name == "other-name-apps.ini" || name == write.backup_kept)
        << name << " left";
  }
  if (c.again) {
    const FilesWrite second = replaceFiles(files, 2);
    EXPECT_EQ(second.written, 2) << second.words;
    EXPECT_EQ(contentOf(ini / "apps.ini"), kNewApps);
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, FileWriter, testing::ValuesIn(kWriterCases),
                         [](const testing::TestParamInfo<WriterCase>& row) { return rowName(row.param.what); });

}  // namespace
