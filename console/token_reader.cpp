#include "console/token_reader.h"

#include <algorithm>

namespace {

bool isWhitespace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool isLineEnd(char c) { return c == '\n' || c == '\r'; }
bool isBlank(char c) { return c == ' ' || c == '\t'; }

// The unread part of the input buffer.
const char* unreadBegin(const ConsoleStream& console) {
  return console.input.data() + console.input_begin;
}
const char* unreadEnd(const ConsoleStream& console) {
  return console.input.data() + console.input_end;
}

void consumeUpTo(ConsoleStream& console, const char* next) {
  console.input_begin = static_cast<std::size_t>(next - console.input.data());
}

// The first character among bytes [from, to) of the input buffer that the
// console could not give, or 0. Where the list of them is full, every byte
// after its last is counted as one.
char32_t unheldIn(const ConsoleStream& console, const char* from, const char* to) {
  const UnheldCharacters& unheld = console.unheld;
  for (std::size_t i = 0; i < unheld.count; ++i) {
    const char* const at = console.input.data() + unheld.at[i];
    if (at >= from && at < to) return unheld.character[i];
  }
  const bool full = unheld.count == UnheldCharacters::kMax;
  return full && console.input.data() + unheld.at[unheld.count - 1] < to ? unheld.character[unheld.count - 1] : 0;
}

void noteUnheld(const ConsoleStream& console, const char* from, const char* to, Token& token) {
  if (token.unheld == 0) token.unheld = unheldIn(console, from, to);
}

}  // namespace

std::string_view tokenText(const Token& token) { return {token.bytes, token.size}; }

bool readToken(ConsoleStream& console, Token& token) {
  token.size = 0;
  token.unheld = 0;
  for (;;) {
    if (!fillInput(console)) return false;
    const char* const start = std::find_if_not(unreadBegin(console), unreadEnd(console), isWhitespace);
    consumeUpTo(console, start);
    if (start != unreadEnd(console)) break;
  }
  // The token may run across several buffer fills; only its first
  // kFieldSize bytes are kept, the rest is consumed and dropped.
  do {
    const char* const start = unreadBegin(console);
    const char* const stop = std::find_if(start, unreadEnd(console), isWhitespace);
    const std::size_t kept = std::min<std::size_t>(stop - start, sizeof token.bytes - token.size);
    std::copy(start, start + kept, token.bytes + token.size);
    noteUnheld(console, start, stop, token);
    token.size += kept;
    consumeUpTo(console, stop);
    if (stop != unreadEnd(console)) break;
  } while (fillInput(console));
  return true;
}

bool readLine(ConsoleStream& console, Token& line) {
  line.size = 0;
  line.unheld = 0;
  std::size_t content_end = 0;  // just past the last byte that is not blank
  bool too_long = false;
  bool started = false;
  while (fillInput(console)) {
    const char* next = unreadBegin(console);
    // The LF of a CR LF whose CR ended the last line.
    if (console.after_cr) {
      console.after_cr = false;
      if (*next == '\n') {
        consumeUpTo(console, next + 1);
        continue;
      }
    }
    started = true;
    const char* const end = std::find_if(next, unreadEnd(console), isLineEnd);
    noteUnheld(console, next, end, line);
    for (; next != end; ++next) {
      if (line.size == 0 && isBlank(*next)) continue;
      if (line.size < sizeof line.bytes) {
        line.bytes[line.size++] = *next;
        if (!isBlank(*next)) content_end = line.size;
      } else if (!isBlank(*next)) {
        too_long = true;
      }
    }
    if (end != unreadEnd(console)) {
      console.after_cr = *end == '\r';
      consumeUpTo(console, end + 1);
      break;
    }
    consumeUpTo(console, end);
  }
  line.size = too_long ? sizeof line.bytes : content_end;
  return started;
}

bool lineHoldsMore(const ConsoleStream& console) { return !restOfLine(console).empty(); }

std::string_view restOfLine(const ConsoleStream& console) {
  const char* const end = std::find_if(unreadBegin(console), unreadEnd(console), isLineEnd);
  const char* const begin = std::find_if_not(unreadBegin(console), end, isBlank);
  return {begin, static_cast<std::size_t>(end - begin)};
}

void skipOneByte(ConsoleStream& console) {
  if (fillInput(console)) ++console.input_begin;
}

void holdClosingConsole(ConsoleStream& console) {
  if (!consoleClosesWithProgram()) return;
  flushOutput(console);  // its last words first
  ConsoleStream errors(kStandardInput, kStandardError);
  writeText(errors, "Press Enter to close.\n");
  flushOutput(errors);
  // What is left of a line already typed (the line end after a 7) is no
  // answer to this wait.
  console.input_begin = console.input_end;
  skipOneByte(console);
}
