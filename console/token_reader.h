// Console input as whitespace-delimited tokens, which is how every answer of
// the dialogue is given, or with --keep as whole lines.
#ifndef HALVANE_CONSOLE_TOKEN_READER_H_
#define HALVANE_CONSOLE_TOKEN_READER_H_

#include <cstddef>
#include <string_view>

#include "catalogue/entry_list.h"
#include "console/console_stream.h"

// A token as far as it is kept: at most kFieldSize bytes, one more than any
// list stores, so that a longer token is still seen to be too long while a
// token of any size costs no more memory than this.
struct Token {
  char bytes[kFieldSize];
  std::size_t size = 0;
  char32_t unheld = 0;  // a character typed that the console could not give (a '?' stands for it), if any
};

// The kept bytes of `token`.
std::string_view tokenText(const Token& token);

// Skips whitespace (space, tab, LF, VT, FF, CR), then consumes the token up to
// the next whitespace, which is left unread. Every other byte, zero included,
// is part of the token. Returns false, with an empty token, when input ends
// before a token starts.
bool readToken(ConsoleStream& console, Token& token);

// Reads the next line: the bytes up to LF, CR or CR LF (or the end of
// input), less spaces and tabs at either end, so that an answer may hold
// spaces. Kept as a token is: a line longer than kFieldSize bytes once trimmed
// is kept as kFieldSize bytes, so that it is seen to be too long, in bounded
// memory. Returns false, with an empty line, when input ends before a line
// starts.
bool readLine(ConsoleStream& console, Token& line);

// True when what is left of the line already read in holds more than spaces
// and tabs: a word that the next read will take. Reads nothing.
bool lineHoldsMore(const ConsoleStream& console);

// What is left of the line already read in, from its next word to before
// its line end; empty where only spaces and tabs are left. Reads nothing.
std::string_view restOfLine(const ConsoleStream& console);

// Consumes one byte of input, whatever it is, waiting for it if need be.
void skipOneByte(ConsoleStream& console);

// Where the console window would close with the program (see
// consoleClosesWithProgram), says "Press Enter to close." on standard error
// and waits for one byte typed from now on, the Enter key, so that the
// message the program ends with can be read. Elsewhere does nothing.
void holdClosingConsole(ConsoleStream& console);

#endif  // HALVANE_CONSOLE_TOKEN_READER_H_
