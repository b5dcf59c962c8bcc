// The FTP steps of ftp.h where the program was built without libcurl: each
// says so, and nothing is reached.
#include "platform/ftp.h"

#include <cstdio>

struct FtpConnection {};

FtpConnection* ftpOpen(const FtpLogin&, char (&words)[kWordsSize]) {
  std::snprintf(words, sizeof words, "this build has no FTP: build it with libcurl (Debian: libcurl4-openssl-dev)");
  return nullptr;
}
void ftpClose(FtpConnection*) {}
FtpFound ftpRead(FtpConnection*, const char*, char*, std::size_t, std::size_t&, bool&, char (&)[kWordsSize]) {
  return FtpFound::kFailed;
}
bool ftpWrite(FtpConnection*, const char*, std::string_view, char (&)[kWordsSize]) { return false; }
FtpFound ftpSize(FtpConnection*, const char*, std::uint64_t&, char (&)[kWordsSize]) { return FtpFound::kFailed; }
bool ftpRename(FtpConnection*, const char*, const char*, char (&)[kWordsSize]) { return false; }
bool ftpRemove(FtpConnection*, const char*, char (&)[kWordsSize]) { return false; }
bool ftpList(FtpConnection*, const char*, void (*)(std::string_view, void*), void*, char (&)[kWordsSize]) {
  return false;
}
