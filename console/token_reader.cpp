#include "console/token_reader.h"

#include <algorithm>

namespace {

bool isWhitespace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

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

}  // namespace

std::string_view tokenText(const Token& token) { return {token.bytes, token.size}; }

bool readToken(ConsoleStream& console, Token& token) {
  token.size = 0;
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
    token.size += kept;
    consumeUpTo(console, stop);
    if (stop != unreadEnd(console)) break;
  } while (fillInput(console));
  return true;
}

void skipOneByte(ConsoleStream& console) {
  if (fillInput(console)) ++console.input_begin;
}

void holdClosingConsole(ConsoleStream& console) {
  if (consoleClosesWithProgram()) skipOneByte(console);
}
