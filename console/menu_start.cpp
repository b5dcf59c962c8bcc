#include "console/menu_start.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Says on standard error which line of the menu file at `path` cannot be kept.
void reportUnkeptLine(const char* path, const MenuFileRead& read) {
  ConsoleStream errors(kStandardInput, kStandardError);
  writeTexts(errors, {"Cannot keep ", path, ": line "});
  writeNumber(errors, read.line);
  writeTexts(errors, {": ", read.reason, "\n"});
  flushOutput(errors);
}


// Says what to do about the menu file at `path` that the start could not
// read, in one line, where the cause is one a user meets: the program
// started outside the folder that holds hvn, a folder at the file's name,
// an editor's ".txt" added to the name, a file that is there but cannot be
// read.
void adviseOnFailedCheck(ConsoleStream& errors, const char* path, std::string_view why) {
  constexpr char kHvnFolder[] = "." HVN_PATH_SEPARATOR "hvn";
  char with_txt[sizeof kGameMenuPath + 8];
  std::snprintf(with_txt, sizeof with_txt, "%s.txt", path);
  const std::string_view name = baseName(path);
  if (pathKind(kHvnFolder) != PathKind::kFolder) {
    writeTexts(errors, {"Start the program in the folder that holds the launcher's hvn folder; there is none here\n"});
  } else if (pathKind(path) == PathKind::kFolder) {
    writeTexts(errors, {path, " is a folder; the menu is a file of that name\n"});
  } else if (pathKind(with_txt) != PathKind::kNothing) {
    writeTexts(errors, {with_txt, " is there: rename it ", name, "\n"});
  } else if (why == std::strerror(EACCES)) {
    writeTexts(errors, {"You may not read ", path, ": its owner or an administrator can let you\n"});
  }
}

}  // namespace

const char* firstUnreadableMenuFile(std::string_view& why, char (&words)[kWordsSize]) {
  for (const char* path : {kGameMenuPath, kAppMenuPath})
    if (!(why = checkMenuFile(path, words)).empty()) return path;
  return nullptr;
}

void reportFailedCheck(const ConsoleStream& console, const char* path, std::string_view why, bool says_wait) {
  char folder[1024];
  const std::string_view here = currentFolder(folder);
  ConsoleStream errors(kStandardInput, kStandardError);
  writeTexts(errors, {"Cannot read ", path, here.empty() ? "" : " in ", here, ": ", why, "\n"});
  adviseOnFailedCheck(errors, path, why);
  if (says_wait && isConsole(console.input_fd) && !callerPauses(console)) writeTexts(errors, {"Press Enter to close.\n"});
  flushOutput(errors);
}

bool keepMenuFiles(WatchedMenuFile (&files)[2], std::uint64_t (*lines)[kMaxEntries]) {
  for (WatchedMenuFile& file : files) {
    const MenuFileRead read =
        readMenuFile(file.path, file.list, &file.stamp, lines != nullptr ? lines[&file - files] : nullptr);
    if (read.reason.empty()) continue;
    reportUnkeptLine(file.path, read);
    return false;
  }
  return true;
}

std::string_view baseName(std::string_view path) {
  const std::size_t name = path.find_last_of(HVN_PATH_SEPARATOR) + 1;
  return {path.data() + name, path.size() - name};
}

bool callerPauses(const ConsoleStream& console) {
  return isConsole(console.input_fd) && std::getenv("HVN_CALLER_PAUSES") != nullptr;
}

void sayBackups(ConsoleStream& out, const bool (&backed_up)[2]) {
  const int backups = backed_up[0] + backed_up[1];
  if (backups == 0) return;
  writeText(out, backups == 1 ? " (the old menu is in " : " (the old menus are in ");
  if (backed_up[1]) writeTexts(out, {baseName(kGameMenuPath), kBackupSuffix, backups == 2 ? " and " : ""});
  if (backed_up[0]) writeTexts(out, {baseName(kAppMenuPath), kBackupSuffix});
  writeText(out, ")");
}
