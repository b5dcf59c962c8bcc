// The FTP steps of ftp.h over libcurl: one easy handle per connection, which
// keeps the control connection open from one step to the next.
#include "platform/ftp.h"

#include <curl/curl.h>

#include <cstdio>
#include <cstring>
#include <string>

struct FtpConnection {
  CURL* curl = nullptr;
  std::string base;        // "ftp://host:port"
  std::string last_reply;  // the server's last reply that refused something
  char error[CURL_ERROR_SIZE] = "";
};

namespace {

// Percent-encodes what a URL's path cannot hold as it is.
std::string urlOf(const FtpConnection& connection, std::string_view path) {
  std::string url = connection.base;
  for (const char c : path) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       std::strchr("/-._~!$&'()*+,;=:@", c) != nullptr;
    char escaped[4];
    std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(c));
    url += plain && c != '\0' ? std::string(1, c) : std::string(escaped);
  }
  return url;
}

// Keeps the server's refusals (a reply from 400 up), so that a failure can
// be said in its words.
int watchReplies(CURL*, curl_infotype type, char* data, std::size_t size, void* context) {
  if (type == CURLINFO_HEADER_IN && size >= 3 && (data[0] == '4' || data[0] == '5')) {
    std::string& reply = static_cast<FtpConnection*>(context)->last_reply;
    reply.assign(data, size);
    while (!reply.empty() && (reply.back() == '\n' || reply.back() == '\r')) reply.pop_back();
  }
  return 0;
}

// What a step asks for nothing of: bytes, and what libcurl makes up as
// headers for a file's size.
std::size_t dropBytes(char*, std::size_t size, std::size_t count, void*) { return size * count; }

// Starts a step: the handle as it was set up, less what the last step set.
void startStep(FtpConnection& connection, std::string_view path) {
  CURL* const curl = connection.curl;
  curl_easy_setopt(curl, CURLOPT_URL, urlOf(connection, path).c_str());
  curl_easy_setopt(curl, CURLOPT_NOBODY, 0L);
  curl_easy_setopt(curl, CURLOPT_UPLOAD, 0L);
  curl_easy_setopt(curl, CURLOPT_DIRLISTONLY, 0L);
  curl_easy_setopt(curl, CURLOPT_QUOTE, nullptr);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, dropBytes);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, dropBytes);
  curl_easy_setopt(curl, CURLOPT_READFUNCTION, nullptr);
  connection.last_reply.clear();
  connection.error[0] = '\0';
}

// Says why a step failed: the server's refusal where it gave one, else the
// library's words.
bool failed(FtpConnection& connection, CURLcode code, char (&words)[kWordsSize]) {
  if (code == CURLE_OK) return false;
  const char* const library = connection.error[0] != '\0' ? connection.error : curl_easy_strerror(code);
  if (connection.last_reply.empty()) {
    std::snprintf(words, sizeof words, "%s", library);
  } else {
    std::snprintf(words, sizeof words, "%s (the console said: %s)", library, connection.last_reply.c_str());
  }
  return true;
}

// A file that is not there; or a folder on its way that is none (libcurl
// changes into each folder of a path, and the server says 550).
bool missing(const FtpConnection& connection, CURLcode code) {
  return code == CURLE_REMOTE_FILE_NOT_FOUND ||
         (code == CURLE_REMOTE_ACCESS_DENIED && connection.last_reply.compare(0, 3, "550") == 0);
}

struct Reading {
  char* into;
  std::size_t capacity;
  std::size_t size = 0;
  bool more = false;  // bytes came past what was asked for
};

std::size_t takeRead(char* data, std::size_t, std::size_t count, void* context) {
  Reading& reading = *static_cast<Reading*>(context);
  const std::size_t room = reading.capacity - reading.size;
  const std::size_t kept = count < room ? count : room;
  std::memcpy(reading.into + reading.size, data, kept);
  reading.size += kept;
  if (kept == count) return count;
  // Enough: the transfer is cut off here, which the caller expects.
  reading.more = true;
  return 0;
}

struct Writing {
  std::string_view bytes;
};

std::size_t giveWrite(char* data, std::size_t size, std::size_t count, void* context) {
  std::string_view& rest = static_cast<Writing*>(context)->bytes;
  const std::size_t given = rest.copy(data, size * count);
  rest.remove_prefix(given);
  return given;
}

// Runs FTP commands of its own (RNFR and RNTO, DELE) on the connection.
bool command(FtpConnection& connection, std::initializer_list<std::string> lines, char (&words)[kWordsSize]) {
  startStep(connection, "/");
  curl_slist* list = nullptr;
  for (const std::string& line : lines) list = curl_slist_append(list, line.c_str());
  curl_easy_setopt(connection.curl, CURLOPT_QUOTE, list);
  curl_easy_setopt(connection.curl, CURLOPT_NOBODY, 1L);
  const CURLcode code = curl_easy_perform(connection.curl);
  curl_easy_setopt(connection.curl, CURLOPT_QUOTE, nullptr);
  curl_slist_free_all(list);
  return !failed(connection, code, words);
}

}  // namespace

FtpConnection* ftpOpen(const FtpLogin& login, char (&words)[kWordsSize]) {
  static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  if (!ready) {
    std::snprintf(words, sizeof words, "the FTP library could not start");
    return nullptr;
  }
  FtpConnection* const connection = new FtpConnection;
  CURL* const curl = connection->curl = curl_easy_init();
  connection->base = "ftp://" + std::string(login.host) + ":" + std::to_string(login.port);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, connection->error);
  curl_easy_setopt(curl, CURLOPT_USERNAME, login.user);
  curl_easy_setopt(curl, CURLOPT_PASSWORD, login.password);
  // The consoles' servers speak passive mode as PASV.
  curl_easy_setopt(curl, CURLOPT_FTP_USE_EPSV, 0L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, static_cast<long>(kConnectSeconds));
  curl_easy_setopt(curl, CURLOPT_SERVER_RESPONSE_TIMEOUT, static_cast<long>(kReplySeconds));
  // A transfer that moves nothing for as long as a reply may take has stopped.
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, static_cast<long>(kReplySeconds));
  curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, watchReplies);
  curl_easy_setopt(curl, CURLOPT_DEBUGDATA, connection);
  curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);
  // Logging in: the top folder, asked for nothing.
  startStep(*connection, "/");
  curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
  if (failed(*connection, curl_easy_perform(curl), words)) {
    ftpClose(connection);
    return nullptr;
  }
  return connection;
}

void ftpClose(FtpConnection* connection) {
  if (connection == nullptr) return;
  curl_easy_cleanup(connection->curl);
  delete connection;
}

FtpFound ftpRead(FtpConnection* connection, const char* path, char* into, std::size_t capacity, std::size_t& size,
                 bool& whole, char (&words)[kWordsSize]) {
  startStep(*connection, path);
  Reading reading{into, capacity};
  curl_easy_setopt(connection->curl, CURLOPT_WRITEFUNCTION, takeRead);
  curl_easy_setopt(connection->curl, CURLOPT_WRITEDATA, &reading);
  CURLcode code = curl_easy_perform(connection->curl);
  size = reading.size;
  whole = !reading.more;
  // Cut off by takeRead once the bytes asked for were there.
  if (code == CURLE_WRITE_ERROR && reading.more) code = CURLE_OK;
  if (missing(*connection, code)) return FtpFound::kMissing;
  return failed(*connection, code, words) ? FtpFound::kFailed : FtpFound::kFound;
}

bool ftpWrite(FtpConnection* connection, const char* path, std::string_view bytes, char (&words)[kWordsSize]) {
  startStep(*connection, path);
  Writing writing{bytes};
  curl_easy_setopt(connection->curl, CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(connection->curl, CURLOPT_READFUNCTION, giveWrite);
  curl_easy_setopt(connection->curl, CURLOPT_READDATA, &writing);
  curl_easy_setopt(connection->curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(bytes.size()));
  return !failed(*connection, curl_easy_perform(connection->curl), words);
}

FtpFound ftpSize(FtpConnection* connection, const char* path, std::uint64_t& size, char (&words)[kWordsSize]) {
  startStep(*connection, path);
  curl_easy_setopt(connection->curl, CURLOPT_NOBODY, 1L);
  const CURLcode code = curl_easy_perform(connection->curl);
  if (missing(*connection, code)) return FtpFound::kMissing;
  if (failed(*connection, code, words)) return FtpFound::kFailed;
  curl_off_t length = -1;
  curl_easy_getinfo(connection->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
  if (length < 0) return FtpFound::kMissing;
  size = static_cast<std::uint64_t>(length);
  return FtpFound::kFound;
}

bool ftpRename(FtpConnection* connection, const char* from, const char* to, char (&words)[kWordsSize]) {
  return command(*connection, {std::string("RNFR ") + from, std::string("RNTO ") + to}, words);
}

bool ftpRemove(FtpConnection* connection, const char* path, char (&words)[kWordsSize]) {
  return command(*connection, {std::string("DELE ") + path}, words);
}

namespace {

struct Listing {
  std::string rest;  // a name whose line end has not come yet
  void (*each)(std::string_view, void*);
  void* context;
};

std::size_t takeNames(char* data, std::size_t, std::size_t count, void* context) {
  Listing& listing = *static_cast<Listing*>(context);
  listing.rest.append(data, count);
  for (std::size_t end; (end = listing.rest.find('\n')) != std::string::npos;) {
    std::string_view name(listing.rest.data(), end);
    if (!name.empty() && name.back() == '\r') name.remove_suffix(1);
    // Some servers name each entry with its folder.
    name.remove_prefix(name.find_last_of('/') == std::string_view::npos ? 0 : name.find_last_of('/') + 1);
    if (!name.empty() && name != "." && name != "..") listing.each(name, listing.context);
    listing.rest.erase(0, end + 1);
  }
  return count;
}

}  // namespace

bool ftpList(FtpConnection* connection, const char* path, void (*each)(std::string_view, void*), void* context,
             char (&words)[kWordsSize]) {
  std::string folder = path;
  if (folder.empty() || folder.back() != '/') folder += '/';
  startStep(*connection, folder);
  Listing listing{{}, each, context};
  curl_easy_setopt(connection->curl, CURLOPT_DIRLISTONLY, 1L);
  curl_easy_setopt(connection->curl, CURLOPT_WRITEFUNCTION, takeNames);
  curl_easy_setopt(connection->curl, CURLOPT_WRITEDATA, &listing);
  if (failed(*connection, curl_easy_perform(connection->curl), words)) return false;
  if (!listing.rest.empty()) takeNames(const_cast<char*>("\n"), 1, 1, &listing);
  return true;
}
