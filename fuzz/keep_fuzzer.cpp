// libFuzzer target: arbitrary bytes as the game menu that --keep reads.
// Whether the file is taken must agree with a plain reading of its rules, and
// a file that is taken must be written back as its lines with CR LF, blank
// lines dropped: byte for byte what it held otherwise.
#include <cstdint>
#include <string>
#include <string_view>

#include "catalogue/entry_list.h"
#include "catalogue/menu_files.h"
#include "fuzz/fuzz_support.h"

namespace {

// The file as written back, or nothing when some line cannot be kept:
// lines end at LF, a CR before the LF is dropped, blank lines are skipped.
bool expectedRewrite(std::string_view file, std::string& rewrite) {
  int entries = 0;
  while (!file.empty()) {
    const std::size_t lf = file.find('\n');
    std::string_view line = file.substr(0, lf);
    file.remove_prefix(lf == std::string_view::npos ? file.size() : lf + 1);
    if (!line.empty() && line.back() == '\r' && (lf != std::string_view::npos || line.size() == 1))
      line.remove_suffix(1);
    if (line.empty()) continue;
    const std::size_t separator = line.find("==");
    if (line.find('\0') != std::string_view::npos || separator == std::string_view::npos ||
        separator > kMaxTextLength || line.size() - separator - 2 > kMaxTextLength || ++entries > kMaxEntries)
      return false;
    rewrite.append(line).append("\r\n");
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  enterScratchFolder();
  const std::string_view file(reinterpret_cast<const char*>(data), size);
  setContent("hvn/ini/games.ini", file);
  setContent("hvn/ini/apps.ini", "");
  gameList.count = 0;
  appList.count = 0;

  const MenuFileRead read = readMenuFile(kGameMenuPath, gameList);
  check(count(gameList) >= 0 && count(gameList) <= kMaxEntries, "count within capacity");
  std::string rewrite;
  const bool keepable = expectedRewrite(file, rewrite);
  check(read.reason.empty() == keepable, "taken exactly when every line can be kept");
  if (!keepable) return 0;
  check(writeMenuFiles(appList, gameList).empty(), "writing to a healthy folder succeeds");
  check(contentOf("hvn/ini/games.ini") == rewrite, "written back as read");
  check(menuFileOf(gameList) == rewrite, "the list holds the lines");
  return 0;
}
