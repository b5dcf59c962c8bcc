// libFuzzer target: arbitrary bytes as the game menu that --keep reads.
// Whether the file is taken, and if not which line is refused and why, must
// agree with a plain reading of its rules, and a file that is taken must be
// written back as its lines with CR LF, blank lines dropped.
#include <algorithm>
#include <cstring>
#include <cstdint>
#include <string>
#include <string_view>

#include "catalogue/console_trip.h"
#include "catalogue/entry_checks.h"
#include "catalogue/program_scan.h"
#include "catalogue/entry_list.h"
#include "catalogue/menu_files.h"
#include "fuzz/fuzz_support.h"

namespace {

// What reading `file` must give, worked out line by line instead of byte by
// byte: a file starting as UTF-16 is refused, and a UTF-8 byte-order mark is
// no part of it; lines end at LF, CR LF or CR; a line is refused at the first
// byte after which it can no longer be kept (a zero byte, the 255th name byte
// with no "==" begun, the 255th path byte), or at its end (no "==", a 256th
// entry, a name that starts with a byte-order mark).
struct Expected {
  MenuFileRead read{1, {}};
  std::string rewrite;  // the file as written back, when taken
};

Expected expectedRead(std::string_view file) {
  constexpr std::size_t npos = std::string_view::npos;
  Expected expected;
  if (file.substr(0, 2) == "\xFF\xFE" || file.substr(0, 2) == "\xFE\xFF") {
    expected.read.reason = "UTF-16 text (saved as Unicode), not ANSI or UTF-8";
    return expected;
  }
  if (file.substr(0, 3) == "\xEF\xBB\xBF") file.remove_prefix(3);
  int entries = 0;
  for (std::size_t begin = 0;; ++expected.read.line) {
    const std::size_t end = file.find_first_of("\r\n", begin);
    const std::string_view line = file.substr(begin, end == npos ? npos : end - begin);
    const std::size_t zero = line.find('\0');
    const std::size_t separator = line.find("==");
    const bool name_fits = separator != npos && separator <= kMaxTextLength;
    const std::size_t name_fault = !name_fits && line.size() > kMaxTextLength + 1 ? kMaxTextLength + 1 : npos;
    const std::size_t path_fault =
        name_fits && line.size() - separator - 2 > kMaxTextLength ? separator + 2 + kMaxTextLength : npos;
    const std::size_t first = std::min({zero, name_fault, path_fault});
    std::string_view& reason = expected.read.reason;
    if (first != npos) {
      reason = first == zero ? "zero byte in the line"
               : first == name_fault ? "name longer than 254 bytes" : "path longer than 254 bytes";
    } else if (!line.empty() && separator == npos) {
      reason = "no \"==\" in the line";
    } else if (!line.empty() && ++entries > kMaxEntries) {
      reason = "more than 255 entries";
    } else if (line.substr(0, 3) == "\xEF\xBB\xBF" || line.substr(0, 2) == "\xFF\xFE" || line.substr(0, 2) == "\xFE\xFF") {
      reason = "name starts with a byte-order mark";
    }
    if (!reason.empty()) return expected;
    if (!line.empty()) expected.rewrite.append(line).append("\r\n");
    if (end == npos) return expected;
    begin = end + (file.compare(end, 2, "\r\n") == 0 ? 2 : 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  enterScratchFolder();
  const std::string_view file(reinterpret_cast<const char*>(data), size);
  setContent("hvn/ini/games.ini", file);
  setContent("hvn/ini/apps.ini", "");
  clear(gameList);
  clear(appList);

  // The same bytes as a program's header and as a console's address: what
  // comes back stays within its bounds.
  const XbeTitle title = readXbeTitle(file);
  check(std::strlen(title.title) <= 40 && (title.kind == XbeKind::kUnshownTitle) == (title.unshown != 0),
        "a title within 40 characters, and an unshown character exactly when one is named");
  ConsoleAddress address;
  if (readConsoleAddress(file, address) == nullptr)
    check(address.host[0] != '\0' && address.port >= 1 && address.port <= 65535, "an address taken has a host and a port");

  MenuFileStamp stamp;
  static std::uint64_t lines[kMaxEntries];
  const MenuFileRead read = readMenuFile(kGameMenuPath, gameList, &stamp, lines);
  check(count(gameList) >= 0 && count(gameList) <= kMaxEntries, "count within capacity");
  // Each entry's line comes after the one before, and what is doubtful about
  // it is said of its own path and of other entries of the list.
  for (int i = 0; i < count(gameList); ++i) {
    check(lines[i] >= 1 && lines[i] <= read.line && (i == 0 || lines[i] > lines[i - 1]), "entry lines in order");
    const Doubts doubts = doubtsAbout(gameList, i);
    const std::string_view path = entry(gameList, i).path;
    for (int d = 0; d < doubts.count; ++d) {
      const Doubt& doubt = doubts.doubt[d];
      check(doubt.part.empty() || (doubt.part.data() >= path.data() &&
                                   doubt.part.data() + doubt.part.size() <= path.data() + path.size()),
            "a doubt's part lies in the path");
      check(doubt.same_as < count(gameList) && doubt.same_as != i, "a doubt's other entry is another of the list");
    }
  }
  const Expected expected = expectedRead(file);
  check(read.reason == expected.read.reason, "refused exactly when a line cannot be kept, and why");
  check(read.line == expected.read.line, "the line refused, or the number of lines");
  if (!read.reason.empty()) return 0;
  // The stamp of what was read is what the backup's read finds.
  check(writeMenuFiles(appList, gameList, {true, true}, {nullptr, &stamp}).failed < 0,
        "writing to a healthy folder succeeds");
  check(contentOf("hvn/ini/games.ini") == expected.rewrite, "written back as read");
  check(menuFileOf(gameList) == expected.rewrite, "the list holds the lines");
  return 0;
}
