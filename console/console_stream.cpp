#include "console/console_stream.h"

#include <algorithm>
#include <charconv>

namespace {

// Large enough that a scripted session costs few system calls, small enough
// that the whole program stays within a few hundred KiB.
constexpr std::size_t kInputBufferSize = 64 * 1024;
constexpr std::size_t kOutputBufferSize = 128 * 1024;

void writeAll(ConsoleStream& console, std::string_view bytes) {
  const OutputFailure failure = writeBytes(console.output_fd, bytes.data(), bytes.size());
  if (failure.failed && !console.output_failure.failed) console.output_failure = failure;
}

void append(ConsoleStream& console, std::string_view bytes) {
  if (bytes.size() > console.output.size() - console.output_size) {
    flushOutput(console);
    if (bytes.size() > console.output.size()) {
      writeAll(console, bytes);
      return;
    }
  }
  std::copy(bytes.begin(), bytes.end(), console.output.begin() + console.output_size);
  console.output_size += bytes.size();
}

}  // namespace

ConsoleStream::ConsoleStream(int input_fd, int output_fd)
    : input_fd(input_fd),
      output_fd(output_fd),
      input(kInputBufferSize),
      output(kOutputBufferSize) {}

void writeText(ConsoleStream& console, std::string_view text) {
  if constexpr (kConsoleLineEnd == "\n") {
    append(console, text);
  } else {
    for (std::size_t end; (end = text.find('\n')) != std::string_view::npos;) {
      append(console, text.substr(0, end));
      append(console, kConsoleLineEnd);
      text.remove_prefix(end + 1);
    }
    append(console, text);
  }
}

void writeTexts(ConsoleStream& console, std::initializer_list<std::string_view> pieces) {
  for (const std::string_view piece : pieces) writeText(console, piece);
}

void writeNumber(ConsoleStream& console, std::uint64_t number) {
  char digits[20];
  const char* const end = std::to_chars(digits, digits + sizeof digits, number).ptr;
  append(console, std::string_view(digits, static_cast<std::size_t>(end - digits)));
}

void flushOutput(ConsoleStream& console) {
  writeAll(console, {console.output.data(), console.output_size});
  console.output_size = 0;
}

bool fillInput(ConsoleStream& console) {
  if (console.input_begin < console.input_end) return true;
  if (console.input_ended) return false;
  // Everything buffered has been used, so this read may wait for the user:
  // whatever the program has said so far must be on the screen first.
  flushOutput(console);
  console.input_begin = 0;
  console.input_end = readBytes(console.input_fd, console.input.data(), console.input.size(), &console.unheld);
  console.input_ended = console.input_end == 0;
  return !console.input_ended;
}
