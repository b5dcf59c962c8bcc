#include "console/command_line.h"

#include <string_view>

#include "catalogue/menu_files.h"
#include "console/console_stream.h"
#include "console/token_reader.h"

namespace {

constexpr std::string_view kUsage = "Usage: halvane-menu [--keep | --help | --version]\n";
constexpr int kUsageStatus = 2;
constexpr int kLostOutputStatus = 1;


const struct {
  std::string_view option;
  Request request;
} kOptions[] = {
    {"--keep", Request::kMenuKeepingFiles},
    {"--version", Request::kVersion},
    {"--help", Request::kHelp},
    {"-h", Request::kHelp},
    {kPlatformHelpOption, Request::kHelp},
};

Request requestFor(std::string_view word) {
  for (const auto& known : kOptions)
    if (!known.option.empty() && word == known.option) return known.request;
  return Request::kUsageError;
}

void printHelp(ConsoleStream& out) {
  writeText(out, kUsage);
  writeText(out, "Builds the launcher's menus ");
  writeText(out, kGameMenuPath);
  writeText(out, " and ");
  writeText(out, kAppMenuPath);
  writeText(out,
            "\n"
            "from a numbered menu; both files must exist. Without options the lists\n"
            "start empty, writing replaces what the files held, and every answer is\n"
            "one word: a name and a path typed on one line answer both prompts.\n"
            "7 writes both files or neither, keeping each old menu that held entries\n"
            "beside it as games.ini.bak or apps.ini.bak.\n"
            "\n"
            "  --keep     start from the entries the two files hold now instead of\n"
            "             empty lists; a file with a line that cannot be kept whole\n"
            "             (no \"==\", a name or path over 254 bytes, a zero byte, more\n"
            "             than 255 entries, or UTF-16 text) is reported and nothing\n"
            "             is changed. Every answer is then a whole line, so names\n"
            "             and paths may hold spaces, and an empty one cancels (in\n"
            "             a change, it keeps that part). The menu also offers,\n"
            "             each listing the entries by number:\n"
            "               9. Remove Game    0. Remove App\n"
            "               m. Move Game      n. Move App\n"
            "               e. Change Game    f. Change App\n"
            "             Each command says what it changed; then one line names\n"
            "             the choices, and an empty line shows the whole menu.\n"
            "             Nothing is written before 7, nor over a file changed\n"
            "             elsewhere since it was read until 7 is chosen again;\n"
            "             8 after a change not written asks for 8 again\n"
            "  -h, --help print this text\n"
            "  --version  print the version\n");
}

}  // namespace

CommandLine parseCommandLine(int argc, const char* const argv[]) {
  if (argc <= 1) return {};
  const Request first = requestFor(argv[1]);
  if (first == Request::kUsageError) return {first, "unknown option", argv[1]};
  if (argc > 2) return {Request::kUsageError, "one option at most, not also", argv[2]};
  return {first};
}

int answerRequest(const CommandLine& line) {
  prepareConsoleStreams();
  const bool to_error = line.request == Request::kUsageError;
  ConsoleStream out(kStandardInput, to_error ? kStandardError : kStandardOutput);
  switch (line.request) {
    case Request::kVersion: writeText(out, "Halvane menu creator " HVN_VERSION "\n"); break;
    case Request::kHelp: printHelp(out); break;
    default:
      // Where help is, after a usage error; on Windows /? asks for it too.
      writeTexts(out, {"halvane-menu: ", line.complaint, " '", line.word, "'\n", kUsage, "Try 'halvane-menu --help'"});
      if (!kPlatformHelpOption.empty()) writeTexts(out, {" or 'halvane-menu ", kPlatformHelpOption, "'"});
      writeText(out, ".\n");
      break;
  }
  flushOutput(out);
  // Output that could not be written is no answer: say so, as console tools
  // do; but a reader that has gone (| head, | true) wanted no more, and the
  // run ends quietly.
  const bool lost = out.output_failure.failed && !out.output_failure.reader_gone;
  if (lost) {
    ConsoleStream errors(kStandardInput, kStandardError);
    writeTexts(errors, {"halvane-menu: write error: ", out.output_failure.words, "\n"});
    flushOutput(errors);
  }
  holdClosingConsole(out);
  if (lost) return kLostOutputStatus;
  return to_error ? kUsageStatus : 0;
}
