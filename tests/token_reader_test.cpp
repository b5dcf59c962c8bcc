// Facts about reading tokens: what separates them, what they may contain, how
// much of a long one is kept, and what the end of input gives.
#include "console/token_reader.h"

#include <gtest/gtest.h>

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

}  // namespace
