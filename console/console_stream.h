// Buffered standard input and output for the dialogue. Output is held back
// until the program needs input that has not arrived yet, so a prompt is
// always visible before the program waits, while a scripted session moves in
// large blocks instead of a system call per line.
#ifndef HALVANE_CONSOLE_CONSOLE_STREAM_H_
#define HALVANE_CONSOLE_CONSOLE_STREAM_H_

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <vector>

#include "platform/platform.h"

struct ConsoleStream {
  explicit ConsoleStream(int input_fd = kStandardInput,
                         int output_fd = kStandardOutput);

  int input_fd;
  int output_fd;
  std::vector<char> input;       // bytes read, of which [input_begin, input_end) are unread
  std::size_t input_begin = 0;
  std::size_t input_end = 0;
  bool input_ended = false;      // once set, no further read is attempted
  bool after_cr = false;         // the last line read ended at a CR, whose LF may follow
  UnheldCharacters unheld;       // where the input holds a typed character the console could not give
  std::vector<char> output;      // the first output_size bytes are still to be written
  std::size_t output_size = 0;
  OutputFailure output_failure;  // why the first write that failed did, if one did
};

// Queues `text` for standard output, each '\n' as the console's line end.
void writeText(ConsoleStream& console, std::string_view text);

// Queues a message made of `pieces`, one after another, as writeText does.
void writeTexts(ConsoleStream& console, std::initializer_list<std::string_view> pieces);

// Queues `number` in decimal digits.
void writeNumber(ConsoleStream& console, std::uint64_t number);

// Writes all queued output. A failed write drops it and is remembered in
// output_failure, for a caller that has somebody to tell.
void flushOutput(ConsoleStream& console);

// Makes sure unread input is buffered, flushing output before a read that may
// wait. Returns false once input has ended.
bool fillInput(ConsoleStream& console);

#endif  // HALVANE_CONSOLE_CONSOLE_STREAM_H_
