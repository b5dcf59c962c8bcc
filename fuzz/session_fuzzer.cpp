// libFuzzer target: arbitrary bytes as a whole console session, run in a
// scratch folder with both menu files present. Every token goes through the
// reader, every addition through the list rules, and "7" through the writer.
// After each session the stored entries must still obey the list invariants.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "catalogue/entry_list.h"
#include "console/console_stream.h"
#include "console/menu_loop.h"

namespace {

void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

bool hasWhitespace(std::string_view text) {
  for (char c : text)
    if (c == ' ' || (c >= '\t' && c <= '\r')) return true;
  return false;
}

void checkList(const EntryList& list) {
  check(count(list) >= 0 && count(list) <= kMaxEntries, "count within capacity");
  for (int i = 0; i < count(list); ++i) {
    const MenuEntry e = entry(list, i);
    check(e.name.size() <= kMaxTextLength && e.path.size() <= kMaxTextLength, "text fits its slot");
    check(!hasWhitespace(e.name) && !hasWhitespace(e.path), "no whitespace stored");
    check(!isRejectedPath(e.path), "no rejected path stored");
  }
}

// The file a list is written as: one name==path line with CR LF per entry.
std::string menuFileOf(const EntryList& list) {
  std::string text;
  for (int i = 0; i < count(list); ++i)
    text.append(entry(list, i).name).append("==").append(entry(list, i).path).append("\r\n");
  return text;
}

std::string contentOf(const char* path) {
  std::string text;
  std::FILE* file = std::fopen(path, "rb");
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, n);
  std::fclose(file);
  return text;
}

// A scratch folder with the layout the start-up test wants, made once.
void enterScratchFolder() {
  static bool entered = false;
  if (entered) return;
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/hvn-fuzz-XXXXXX";
  check(mkdtemp(pattern.data()) != nullptr && chdir(pattern.c_str()) == 0, "scratch folder");
  mkdir("hvn", 0755);
  mkdir("hvn/ini", 0755);
  entered = true;
}

// Empties both menu files, touching only those a session has written.
void resetMenuFiles() {
  for (const char* path : {"hvn/ini/games.ini", "hvn/ini/apps.ini"}) {
    struct stat info;
    if (stat(path, &info) == 0 && info.st_size == 0) continue;
    std::FILE* file = std::fopen(path, "wb");
    check(file != nullptr, "menu file");
    std::fclose(file);
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  enterScratchFolder();
  resetMenuFiles();
  gameList.count = 0;
  appList.count = 0;

  static const int output = open("/dev/null", O_WRONLY);
  const int input = inputHolding(data, size);
  // One stream for all sessions: its buffers are large enough that
  // allocating them anew would cost more than the session.
  static ConsoleStream console(input, output);
  console.input_fd = input;
  console.input_begin = console.input_end = console.output_size = 0;
  console.input_ended = false;
  const int status = runMenuSession(console);
  flushOutput(console);
  check(status == 0, "writing to a healthy folder succeeds");
  close(input);
  checkList(gameList);
  checkList(appList);
  // Either "7" wrote both files from the lists, or neither was touched.
  const std::string games = contentOf("hvn/ini/games.ini");
  const std::string apps = contentOf("hvn/ini/apps.ini");
  const bool written = games == menuFileOf(gameList) && apps == menuFileOf(appList);
  check(written || (games.empty() && apps.empty()), "each list in its own file, whole");
  return 0;
}
