// The console's files over FTP: one connection and the few steps taken over
// it, each system with its own library beneath (ftp_posix.cpp: libcurl;
// ftp_win32.cpp: WinINet). What is done with them is console_trip's.
// Paths are the server's, from its top: "/E/Dash/hvn/ini/games.ini".
#ifndef HALVANE_PLATFORM_FTP_H_
#define HALVANE_PLATFORM_FTP_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/file_writer.h"

// Every wait has a limit: reaching the server, each of its replies, and a
// transfer that has stopped moving.
inline constexpr int kConnectSeconds = 10;
inline constexpr int kReplySeconds = 15;

struct FtpLogin {
  const char* host;
  unsigned port;
  const char* user;
  const char* password;
};

struct FtpConnection;

// Reaches the server and logs in, in passive mode. Null, with why in
// `words`, where it cannot: the library's words, and the server's own reply
// where it gave one ("530 Authentication failed.").
FtpConnection* ftpOpen(const FtpLogin& login, char (&words)[kWordsSize]);
void ftpClose(FtpConnection* connection);

// What asking about a file found.
enum class FtpFound { kFound, kMissing, kFailed };

// Reads the file at `path` from its start into `into`, until `capacity`
// bytes are read or it ends; `size` says how many, `whole` whether the file
// ended there. Only the bytes asked for are moved.
FtpFound ftpRead(FtpConnection* connection, const char* path, char* into, std::size_t capacity, std::size_t& size,
                 bool& whole, char (&words)[kWordsSize]);

// Makes `bytes` the file at `path`, a new one or over one there.
bool ftpWrite(FtpConnection* connection, const char* path, std::string_view bytes, char (&words)[kWordsSize]);

// The size of the file at `path`, where there is one.
FtpFound ftpSize(FtpConnection* connection, const char* path, std::uint64_t& size, char (&words)[kWordsSize]);

bool ftpRename(FtpConnection* connection, const char* from, const char* to, char (&words)[kWordsSize]);
bool ftpRemove(FtpConnection* connection, const char* path, char (&words)[kWordsSize]);

// Hands `each` the name of every entry of the folder at `path`, files and
// folders alike.
bool ftpList(FtpConnection* connection, const char* path, void (*each)(std::string_view name, void* context),
             void* context, char (&words)[kWordsSize]);

#endif  // HALVANE_PLATFORM_FTP_H_
