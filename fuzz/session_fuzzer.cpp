// libFuzzer target: arbitrary bytes as a whole console session, run in a
// scratch folder with both menu files present, once from empty lists and once
// with --keep (its answers lines, and its removals, moves and changes). Every
// token or line goes through a reader, every
// addition through the list rules, and "7" through the writer. After each
// session the stored entries must still obey the list invariants, and a file
// written must read back as exactly the list it was written from.
#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>

#include <fcntl.h>
#include <unistd.h>

#include "catalogue/entry_list.h"
#include "catalogue/menu_files.h"
#include "console/console_stream.h"
#include "console/menu_loop.h"
#include "fuzz/fuzz_support.h"

namespace {

// What the menu files hold before each session; a session that writes where
// it should not, or cuts a file short, leaves something else.
constexpr std::string_view kOldGames = "Old==e:\\old\\default.xbe\r\n";
constexpr std::string_view kOldApps = "OldApp==e:\\oldapp\\default.xbe\r\n";

bool hasWhitespace(std::string_view text) {
  for (char c : text)
    if (c == ' ' || (c >= '\t' && c <= '\r')) return true;
  return false;
}

// A line answer holds no line end. (It may end in a space where a zero byte
// typed after one ended the stored text.)
bool hasLineEnd(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

void checkList(const EntryList& list, bool lines) {
  check(count(list) >= 0 && count(list) <= kMaxEntries, "count within capacity");
  for (int i = 0; i < count(list); ++i) {
    const MenuEntry e = entry(list, i);
    check(e.name.size() <= kMaxTextLength && e.path.size() <= kMaxTextLength, "text fits its slot");
    if (lines) {
      check(!hasLineEnd(e.name) && !hasLineEnd(e.path), "a line stored without its end");
    } else {
      check(!hasWhitespace(e.name) && !hasWhitespace(e.path), "no whitespace stored");
    }
    check(!isRejectedPath(e.path), "no rejected path stored");
  }
}

// A pipe holding `data` and then its end, as a redirected standard input
// would; inputs are kept below the pipe's capacity by -max_len.
int inputHolding(const std::uint8_t* data, std::size_t size) {
  int ends[2];
  check(size <= 65536 && pipe(ends) == 0, "input pipe");
  check(write(ends[1], data, size) == static_cast<ssize_t>(size), "input written");
  close(ends[1]);
  return ends[0];
}

// Reading the file a list was written as must give that list back exactly.
void checkReadBack(const char* path, const EntryList& list) {
  static EntryList read_back;
  clear(read_back);
  check(readMenuFile(path, read_back).reason.empty(), "a written file is taken back");
  check(count(read_back) == count(list), "read back: as many entries as written");
  for (int i = 0; i < count(list); ++i) {
    check(entry(read_back, i).name == entry(list, i).name, "read back: the same name");
    check(entry(read_back, i).path == entry(list, i).path, "read back: the same path");
  }
}

// One session on `data`, starting from empty lists or, with `keep_menus`,
// from the old files, which also offers removals.
void runSession(const std::uint8_t* data, std::size_t size, bool keep_menus) {
  setContent("hvn/ini/games.ini", kOldGames);
  setContent("hvn/ini/apps.ini", kOldApps);
  unlink("hvn/ini/games.ini.bak");
  unlink("hvn/ini/apps.ini.bak");
  clear(gameList);
  clear(appList);

  static const int output = open("/dev/null", O_WRONLY);
  const int input = inputHolding(data, size);
  // One stream for all sessions: its buffers are large enough that
  // allocating them anew would cost more than the session.
  static ConsoleStream console(input, output);
  console.input_fd = input;
  console.input_begin = console.input_end = console.output_size = 0;
  console.input_ended = false;
  console.after_cr = false;
  // What the session says on standard error (edits left unwritten at the
  // end of its input) goes where its output goes, not into the fuzzer's log.
  static const int errors = dup(2);
  dup2(output, 2);
  const int status = runMenuSession(console, keep_menus);
  dup2(errors, 2);
  flushOutput(console);
  close(input);
  checkList(gameList, keep_menus);
  checkList(appList, keep_menus);
  // Either "7" wrote both files from the lists, or neither was touched.
  const std::string games = contentOf("hvn/ini/games.ini");
  const std::string apps = contentOf("hvn/ini/apps.ini");
  const bool written = games == menuFileOf(gameList) && apps == menuFileOf(appList);
  check(written || (games == kOldGames && apps == kOldApps), "each list in its own file, whole");
  // Only edits that --keep was not told to write end a session unsaved, and
  // then nothing on disk has changed.
  check(status == 0 || (keep_menus && games == kOldGames && apps == kOldApps), "writing to a healthy folder succeeds");
  if (!written) return;
  // The old menu of a file that changed is in its backup.
  for (const auto& [path, old, now] : {std::tuple{"hvn/ini/games.ini.bak", kOldGames, games},
                                       std::tuple{"hvn/ini/apps.ini.bak", kOldApps, apps}})
    check(now == old ? access(path, F_OK) != 0 : contentOf(path) == old, "the old menu in its backup");
  checkReadBack(kGameMenuPath, gameList);
  checkReadBack(kAppMenuPath, appList);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  enterScratchFolder();
  runSession(data, size, false);
  runSession(data, size, true);
  return 0;
}
