#include "console/command_line.h"

#include <string_view>

#include "catalogue/menu_files.h"
#include "console/console_stream.h"
#include "console/token_reader.h"

namespace {

constexpr std::string_view kUsage = "Usage: halvane-menu [--keep | --check | --help | --version]\n";
constexpr int kUsageStatus = 2;
constexpr int kLostOutputStatus = 1;


const struct {
  std::string_view option;
  Request request;
} kOptions[] = {
    {"--keep", Request::kMenuKeepingFiles},
    {"--check", Request::kCheck},
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
            "from a numbered menu; both files must exist. Without options the lists start\n"
            "empty, every answer is one word (one line may answer several prompts), and\n"
            "7 replaces both files or neither, keeping each old menu that held entries\n"
            "as games.ini.bak or apps.ini.bak; at a console 7 and 8 ask once first.\n"
            "\n"
            "  --keep     start from the entries the two files hold now; a line that\n"
            "             cannot be kept whole (no \"==\", over 254 bytes, a zero byte,\n"
            "             a 256th entry, UTF-16 text) is reported and nothing changes.\n"
            "             Every answer is a whole line, so names and paths may hold\n"
            "             spaces; an empty one cancels (in a change, keeps that part).\n"
            "             The menu also offers, each listing the entries by number:\n"
            "               9. Remove Game    0. Remove App\n"
            "               m. Move Game      n. Move App\n"
            "               e. Change Game    f. Change App\n"
            "             Nothing is written before 7, nor over a file changed\n"
            "             elsewhere until 7 is chosen again; 8 after a change asks again.\n"
            "  --check    list the entries the console may not start, as file:line:\n"
            "             entry: why; status 0 for none, 1 for some, 2 for a file not read\n"            "  -h, --help print this text\n"
            "  --version  print the version\n");
  writeText(out, kPlatformHelpNote);
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
