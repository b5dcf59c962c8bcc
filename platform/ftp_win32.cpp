// The FTP steps of ftp.h over WinINet, which every Windows since XP has.
#include "platform/ftp.h"

#include <cstdio>
#include <cstring>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <wininet.h>

struct FtpConnection {
  HINTERNET session = nullptr;
  HINTERNET server = nullptr;
};

namespace {

// WinINet's words for the errors a console's server gives most, where the
// system has none of its own to give (Wine has none).
const struct {
  DWORD error;
  const char* words;
} kErrors[] = {
    {ERROR_INTERNET_TIMEOUT, "the console did not answer in time"},
    {ERROR_INTERNET_NAME_NOT_RESOLVED, "no computer of that name"},
    {ERROR_INTERNET_INCORRECT_USER_NAME, "the console refused the user name"},
    {ERROR_INTERNET_INCORRECT_PASSWORD, "the console refused the password"},
    {ERROR_INTERNET_LOGIN_FAILURE, "the console refused the login"},
    {ERROR_INTERNET_CANNOT_CONNECT, "could not connect"},
    {ERROR_INTERNET_CONNECTION_ABORTED, "the connection was broken off"},
    {ERROR_INTERNET_CONNECTION_RESET, "the connection was reset"},
    {ERROR_FTP_DROPPED, "the transfer was dropped"},
};

// Why the last WinINet call failed: WinINet's words for the error, and the
// server's own last refusal where it gave one ("530 Login incorrect.").
void sayWhy(char (&words)[kWordsSize]) {
  const DWORD error = GetLastError();
  char reply[kWordsSize] = "";
  DWORD code = 0;
  DWORD size = sizeof reply;
  if (!InternetGetLastResponseInfoA(&code, reply, &size)) size = 0;
  while (size > 0 && (reply[size - 1] == '\n' || reply[size - 1] == '\r')) --size;
  reply[size] = '\0';
  const bool refused = reply[0] == '4' || reply[0] == '5';
  char library[256] = "";
  for (const auto& known : kErrors)
    if (known.error == error) std::snprintf(library, sizeof library, "%s", known.words);
  if (library[0] == '\0' &&
      FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, GetModuleHandleA("wininet.dll"),
                     error, 0, library, sizeof library, nullptr) == 0)
    std::snprintf(library, sizeof library, "error %lu", static_cast<unsigned long>(error));
  for (std::size_t end = std::strlen(library); end > 0 && (library[end - 1] == '\n' || library[end - 1] == '\r');)
    library[--end] = '\0';
  if (error == ERROR_INTERNET_EXTENDED_ERROR && refused) {
    std::snprintf(words, sizeof words, "the console said: %s", reply);
  } else if (refused) {
    std::snprintf(words, sizeof words, "%s (the console said: %s)", library, reply);
  } else {
    std::snprintf(words, sizeof words, "%s", library);
  }
}

bool missingReply() {
  char reply[64] = "";
  DWORD code = 0;
  DWORD size = sizeof reply;
  return GetLastError() == ERROR_INTERNET_EXTENDED_ERROR && InternetGetLastResponseInfoA(&code, reply, &size) &&
         std::strncmp(reply, "550", 3) == 0;
}

// Connecting and logging in, and why they failed: the error and the
// server's reply belong to the thread that saw them.
struct Attempt {
  HINTERNET session;
  const FtpLogin* login;
  HINTERNET server = nullptr;
  char words[kWordsSize] = "";
};

DWORD WINAPI connectAndLogIn(void* context) {
  Attempt& attempt = *static_cast<Attempt*>(context);
  const FtpLogin& login = *attempt.login;
  attempt.server = InternetConnectA(attempt.session, login.host, static_cast<INTERNET_PORT>(login.port), login.user,
                                    login.password, INTERNET_SERVICE_FTP, INTERNET_FLAG_PASSIVE, 0);
  if (attempt.server == nullptr) sayWhy(attempt.words);
  return 0;
}

}  // namespace

FtpConnection* ftpOpen(const FtpLogin& login, char (&words)[kWordsSize]) {
  // The program holds one connection at a time; operator new would bring
  // in exception machinery for its std::bad_alloc.
  static FtpConnection the_connection;
  FtpConnection* const connection = &the_connection;
  *connection = {};
  connection->session = InternetOpenA("halvane-menu", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
  if (connection->session == nullptr) {
    sayWhy(words);
    ftpClose(connection);
    return nullptr;
  }
  DWORD connect_ms = kConnectSeconds * 1000;
  DWORD reply_ms = kReplySeconds * 1000;
  InternetSetOptionA(connection->session, INTERNET_OPTION_CONNECT_TIMEOUT, &connect_ms, sizeof connect_ms);
  for (const DWORD option : {INTERNET_OPTION_RECEIVE_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                             INTERNET_OPTION_DATA_RECEIVE_TIMEOUT, INTERNET_OPTION_DATA_SEND_TIMEOUT})
    InternetSetOptionA(connection->session, option, &reply_ms, sizeof reply_ms);
  // Connecting and logging in run on a thread of their own, so that a
  // server that never answers is given up on after a limit of the
  // program's own: Wine's WinINet heeds no timeout there.
  Attempt attempt{connection->session, &login};
  const HANDLE thread = CreateThread(nullptr, 0, connectAndLogIn, &attempt, 0, nullptr);
  if (thread == nullptr) {
    connectAndLogIn(&attempt);
  } else if (WaitForSingleObject(thread, (kConnectSeconds + kReplySeconds) * 1000) == WAIT_TIMEOUT) {
    // Closing the session ends the attempt.
    InternetCloseHandle(connection->session);
    connection->session = nullptr;
    WaitForSingleObject(thread, INFINITE);
    std::snprintf(attempt.words, sizeof attempt.words, "no answer from the console within %d s", kConnectSeconds + kReplySeconds);
  }
  if (thread != nullptr) CloseHandle(thread);
  connection->server = attempt.server;
  if (connection->server == nullptr) {
    std::snprintf(words, sizeof words, "%s", attempt.words);
    ftpClose(connection);
    return nullptr;
  }
  return connection;
}

void ftpClose(FtpConnection* connection) {
  if (connection == nullptr) return;
  if (connection->server != nullptr) InternetCloseHandle(connection->server);
  if (connection->session != nullptr) InternetCloseHandle(connection->session);
  *connection = {};
}

FtpFound ftpRead(FtpConnection* connection, const char* path, char* into, std::size_t capacity, std::size_t& size,
                 bool& whole, char (&words)[kWordsSize]) {
  size = 0;
  whole = false;
  const HINTERNET file =
      FtpOpenFileA(connection->server, path, GENERIC_READ, FTP_TRANSFER_TYPE_BINARY | INTERNET_FLAG_RELOAD, 0);
  if (file == nullptr) {
    const bool missing = missingReply();
    sayWhy(words);
    return missing ? FtpFound::kMissing : FtpFound::kFailed;
  }
  bool read_failed = false;
  for (;;) {
    char spare;
    char* const at = size < capacity ? into + size : &spare;
    const DWORD room = size < capacity ? static_cast<DWORD>(capacity - size < 65536 ? capacity - size : 65536) : 1;
    DWORD got = 0;
    if (!InternetReadFile(file, at, room, &got)) {
      read_failed = true;
      sayWhy(words);
      break;
    }
    if (got == 0) {
      whole = true;
      break;
    }
    // A byte past what was asked for: the file goes on.
    if (size >= capacity) break;
    size += got;
  }
  InternetCloseHandle(file);
  return read_failed ? FtpFound::kFailed : FtpFound::kFound;
}

bool ftpWrite(FtpConnection* connection, const char* path, std::string_view bytes, char (&words)[kWordsSize]) {
  const HINTERNET file = FtpOpenFileA(connection->server, path, GENERIC_WRITE, FTP_TRANSFER_TYPE_BINARY, 0);
  if (file == nullptr) {
    sayWhy(words);
    return false;
  }
  while (!bytes.empty()) {
    DWORD sent = 0;
    const DWORD piece = static_cast<DWORD>(bytes.size() < 65536 ? bytes.size() : 65536);
    if (!InternetWriteFile(file, bytes.data(), piece, &sent) || sent == 0) {
      sayWhy(words);
      InternetCloseHandle(file);
      return false;
    }
    bytes.remove_prefix(sent);
  }
  if (!InternetCloseHandle(file)) {
    sayWhy(words);
    return false;
  }
  return true;
}

FtpFound ftpSize(FtpConnection* connection, const char* path, std::uint64_t& size, char (&words)[kWordsSize]) {
  char command[1400];
  std::snprintf(command, sizeof command, "SIZE %s", path);
  if (!FtpCommandA(connection->server, FALSE, FTP_TRANSFER_TYPE_BINARY, command, 0, nullptr)) {
    const bool missing = missingReply();
    sayWhy(words);
    return missing ? FtpFound::kMissing : FtpFound::kFailed;
  }
  char reply[256] = "";
  DWORD code = 0;
  DWORD length = sizeof reply;
  // "213 <size>", read by hand: sscanf would bring in a whole scanner.
  const bool replied = InternetGetLastResponseInfoA(&code, reply, &length);
  const char* digit = reply + 4;
  if (!replied || std::strncmp(reply, "213 ", 4) != 0 || *digit < '0' || *digit > '9') {
    std::snprintf(words, sizeof words, "the console did not say the file's size: %s", reply);
    return FtpFound::kFailed;
  }
  for (size = 0; *digit >= '0' && *digit <= '9'; ++digit) size = size * 10 + static_cast<std::uint64_t>(*digit - '0');
  return FtpFound::kFound;
}

bool ftpRename(FtpConnection* connection, const char* from, const char* to, char (&words)[kWordsSize]) {
  if (FtpRenameFileA(connection->server, from, to)) return true;
  sayWhy(words);
  return false;
}

bool ftpRemove(FtpConnection* connection, const char* path, char (&words)[kWordsSize]) {
  if (FtpDeleteFileA(connection->server, path)) return true;
  sayWhy(words);
  return false;
}

bool ftpList(FtpConnection* connection, const char* path, void (*each)(std::string_view name, void* context),
             void* context, char (&words)[kWordsSize]) {
  char pattern[1400];
  std::snprintf(pattern, sizeof pattern, "%s/*", path);
  WIN32_FIND_DATAA found;
  const HINTERNET find = FtpFindFirstFileA(connection->server, pattern, &found, INTERNET_FLAG_RELOAD, 0);
  if (find == nullptr) {
    // An empty folder.
    if (GetLastError() == ERROR_NO_MORE_FILES) return true;
    sayWhy(words);
    return false;
  }
  do {
    const std::string_view name = found.cFileName;
    if (name != "." && name != "..") each(name, context);
  } while (InternetFindNextFileA(find, &found));
  const bool ended = GetLastError() == ERROR_NO_MORE_FILES;
  if (!ended) sayWhy(words);
  InternetCloseHandle(find);
  return ended;
}
