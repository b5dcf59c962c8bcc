#include "console/command_line.h"

#include <cstring>
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
};

void printHelp(ConsoleStream& out) {
  writeText(out, kUsage);
  writeText(out, "Builds the launcher's menus ");
  writeText(out, kGameMenuPath);
  writeText(out, " and ");
  writeText(out, kAppMenuPath);
  writeText(out,
            "\n"
            "from a numbered menu; both files must exist. Without options the lists\n"
            "start empty, and writing replaces what the files held.\n"
            "\n"
            "  --keep     start from the entries the two files hold now instead of\n"
            "             empty lists; a file with a line that cannot be kept whole\n"
            "             (no \"==\", a name or path over 254 bytes, a zero byte, or\n"
            "             more than 255 entries) is reported and nothing is changed.\n"
            "             The menu then also offers 9. Remove Game and 0. Remove App,\n"
            "             which list the entries by number and take out the one you\n"
            "             name; nothing is written before 7\n"
            "  --help     print this text\n"
            "  --version  print the version\n");
}

}  // namespace

Request parseCommandLine(int argc, const char* const argv[]) {
  if (argc <= 1) return Request::kMenu;
  if (argc == 2) {
    for (const auto& known : kOptions)
      if (argv[1] == known.option) return known.request;
    if (!kPlatformHelpOption.empty() && argv[1] == kPlatformHelpOption) return Request::kHelp;
  }
  return Request::kUsageError;
}

int answerRequest(Request request) {
  prepareConsoleStreams();
  const bool to_error = request == Request::kUsageError;
  ConsoleStream out(kStandardInput, to_error ? kStandardError : kStandardOutput);
  switch (request) {
    case Request::kVersion: writeText(out, "Halvane menu creator " HVN_VERSION "\n"); break;
    case Request::kHelp: printHelp(out); break;
    default: writeText(out, kUsage); break;
  }
  flushOutput(out);
  // Output that could not be written is no answer: say so, as console tools do.
  if (out.output_error != 0) {
    ConsoleStream errors(kStandardInput, kStandardError);
    for (const std::string_view piece : {std::string_view("halvane-menu: write error: "),
                                         std::string_view(std::strerror(out.output_error)), std::string_view("\n")})
      writeText(errors, piece);
    flushOutput(errors);
  }
  holdClosingConsole(out);
  if (out.output_error != 0) return kLostOutputStatus;
  return to_error ? kUsageStatus : 0;
}
