#include "console/menu_check.h"

#include "catalogue/menu_files.h"
#include "console/menu_start.h"
#include "console/token_reader.h"

namespace {

constexpr int kNoDoubts = 0;
constexpr int kDoubts = 1;
constexpr int kCannotCheck = 2;

// Each entry's line in its file: what an editor jumps to.
std::uint64_t lines[2][kMaxEntries];

// One line per doubtful entry of `file`; how many there were.
int listDoubts(ConsoleStream& out, const WatchedMenuFile& file, const std::uint64_t* numbers) {
  int doubtful = 0;
  for (int i = 0; i < count(file.list); ++i) {
    const Doubts doubts = doubtsAbout(file.list, i);
    if (doubts.count == 0) continue;
    ++doubtful;
    const MenuEntry line = entry(file.list, i);
    writeTexts(out, {file.path, ":"});
    writeNumber(out, numbers[i]);
    writeTexts(out, {": ", line.name, "==", line.path, ": "});
    sayDoubts(out, doubts, "line", numbers);
    writeText(out, "\n");
  }
  return doubtful;
}

}  // namespace

void sayDoubts(ConsoleStream& out, const Doubts& doubts, std::string_view other, const std::uint64_t* numbers) {
  for (int i = 0; i < doubts.count; ++i) {
    const Doubt& doubt = doubts.doubt[i];
    writeTexts(out, {i > 0 ? "; " : "", doubt.words, doubt.part, doubt.after});
    if (doubt.same_as < 0) continue;
    writeTexts(out, {other, " "});
    writeNumber(out, numbers != nullptr ? numbers[doubt.same_as] : static_cast<std::uint64_t>(doubt.same_as) + 1);
  }
}

void sayDoubtfulCount(ConsoleStream& out, int doubtful) {
  writeNumber(out, static_cast<std::uint64_t>(doubtful));
  writeText(out, doubtful == 1 ? " entry may" : " entries may");
  writeText(out, " not start on the console; --check lists them\n");
}

int runMenuCheck() {
  prepareConsoleStreams();
  ConsoleStream out;
  int status = kCannotCheck;
  char words[kWordsSize];
  std::string_view why;
  WatchedMenuFile files[2] = {{kGameMenuPath, gameList, {}}, {kAppMenuPath, appList, {}}};
  if (const char* const unreadable = firstUnreadableMenuFile(why, words)) {
    reportFailedCheck(out, unreadable, why, false);
  } else if (keepMenuFiles(files, lines)) {
    const int doubtful = listDoubts(out, files[0], lines[0]) + listDoubts(out, files[1], lines[1]);
    flushOutput(out);
    ConsoleStream errors(kStandardInput, kStandardError);
    const int entries = count(gameList) + count(appList);
    writeText(errors, "Checked ");
    writeNumber(errors, static_cast<std::uint64_t>(entries));
    writeText(errors, entries == 1 ? " entry" : " entries");
    writeText(errors, " of games.ini and apps.ini: ");
    if (doubtful == 0) {
      writeText(errors, "none doubtful\n");
    } else {
      writeNumber(errors, static_cast<std::uint64_t>(doubtful));
      writeText(errors, " may not start on the console\n");
    }
    if (out.output_failure.failed && !out.output_failure.reader_gone)
      writeTexts(errors, {"halvane-menu: write error: ", out.output_failure.words, "\n"});
    flushOutput(errors);
    status = out.output_failure.failed && !out.output_failure.reader_gone ? kCannotCheck
             : doubtful > 0                                             ? kDoubts
                                                                        : kNoDoubts;
  }
  holdClosingConsole(out);
  return status;
}
