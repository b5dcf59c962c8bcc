// Facts about reading tokens: what separates them, what they may contain, how
// much of a long one is kept, and what the end of input gives.
#include "console/token_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

struct TokenCase {
  const char* what;
  std::string input;
  std::vector<std::string> tokens;  // as kept, in order, before the end of input
};

const std::string kKeepable(kFieldSize, 'x');

const TokenCase kTokenCases[] = {
    {"nothing", "", {}},
    {"only whitespace", " \t\n\v\f\r\n\n", {}},
    {"each whitespace separates", "a b\tc\nd\ve\ff\rg", {"a", "b", "c", "d", "e", "f", "g"}},
    {"last token without newline", "  abc", {"abc"}},
    {"other bytes belong to the token", "\x01\x1a\x7f\x80\xff:=\\", {"\x01\x1a\x7f\x80\xff:=\\"}},
    {"zero byte is a token byte", std::string("a\0b c", 5), {std::string("a\0b", 3), "c"}},
    {"long token kept in part", std::string(300, 'x') + " next", {kKeepable, "next"}},
    {"huge token consumed whole", std::string(1 << 20, 'x') + "\nnext\n", {kKeepable, "next"}},
    {"token across buffer fills", std::string(65535, ' ') + "split" + std::string(70000, ' ') + "b", {"split", "b"}},
};

// Feeds `input` through a file, as a redirected standard input would.
std::vector<std::string> readAll(const std::string& input, bool& ends_empty) {
  std::FILE* const file = std::tmpfile();
  std::fwrite(input.data(), 1, input.size(), file);
  std::rewind(file);
  std::FILE* const sink = std::tmpfile();
  ConsoleStream console(fileno(file), fileno(sink));
  std::vector<std::string> tokens;
  Token token;
  while (readToken(console, token)) tokens.emplace_back(tokenText(token));
  ends_empty = token.size == 0 && !readToken(console, token) && token.size == 0;
  std::fclose(file);
  std::fclose(sink);
  return tokens;
}

TEST(TokenReader, SplitsInputIntoTokens) {
  for (const TokenCase& c : kTokenCases) {
    SCOPED_TRACE(c.what);
    bool ends_empty = false;
    EXPECT_EQ(readAll(c.input, ends_empty), c.tokens);
    EXPECT_TRUE(ends_empty) << "after the end of input every read must give the empty text";
  }
}

// Where a console gave '?' for a character its code page lacks: the word or
// line that holds one is marked with it, and only that one; where the list
// of them is full, every later byte counts as one.
struct UnheldCase {
  const char* what;
  std::string input;
  std::size_t unheld;          // that many, at positions first, first + 1, ...
  std::size_t first;
  bool lines;
  std::vector<char32_t> marks;  // per word or line read
};

const UnheldCase kUnheldCases[] = {
    {"the word that holds it", "ab ?c d", 1, 3, false, {0, 0x65E5, 0}},
    {"the line that holds it", "a ? b\nc", 1, 2, true, {0x65E5, 0}},
    {"a list not full", std::string(63, '?') + " x", 63, 0, false, {0x65E5, 0}},
    {"a full list marks what follows", std::string(64, '?') + " x", 64, 0, false, {0x65E5, 0x65E5}},
};

TEST(TokenReader, MarksWhatTheConsoleCouldNotGive) {
  for (const UnheldCase& c : kUnheldCases) {
    SCOPED_TRACE(c.what);
    ConsoleStream console(-1, -1);
    std::copy(c.input.begin(), c.input.end(), console.input.begin());
    console.input_end = c.input.size();
    console.input_ended = true;  // what is buffered is all there is
    for (std::size_t i = 0; i < c.unheld; ++i) {
      console.unheld.at[i] = c.first + i;
      console.unheld.character[i] = 0x65E5;
    }
    console.unheld.count = c.unheld;
    std::vector<char32_t> marks;
    for (Token token; (c.lines ? readLine : readToken)(console, token);) marks.push_back(token.unheld);
    EXPECT_EQ(marks, c.marks);
  }
}

}  // namespace
