#include "catalogue/console_trip.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "catalogue/menu_files.h"

namespace {

// Largest menu file carried either way; one the program writes is at most
// 130,560 bytes, and a kept one may hold blank lines too.
constexpr std::size_t kMaxCarried = 1u << 20;

// The two files, in the order a save writes them, by name and local path.
const struct {
  const char* name;
  const char* local;
} kMenus[] = {{"apps.ini", kAppMenuPath}, {"games.ini", kGameMenuPath}};

char carried[2][kMaxCarried];
char here[kMaxCarried];

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Copies `text` into `into`, percent-escapes decoded. Null, or what is wrong.
template <std::size_t N>
const char* decoded(std::string_view text, char (&into)[N]) {
  std::size_t size = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%') {
      const int high = i + 2 < text.size() ? hexValue(text[i + 1]) : -1;
      const int low = high >= 0 ? hexValue(text[i + 2]) : -1;
      if (low < 0) return "a % not followed by two hexadecimal digits";
      c = static_cast<char>(high * 16 + low);
      i += 2;
    }
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return "a control character";
    if (size + 1 >= N) return "a part too long";
    into[size++] = c;
  }
  into[size] = '\0';
  return nullptr;
}

// "<folder>/hvn/ini/<name><suffix>" on the console.
void remotePath(const ConsoleAddress& address, const char* name, const char* suffix, char (&path)[1280]) {
  std::snprintf(path, sizeof path, "%s/hvn/ini/%s%s", address.folder, name, suffix);
}

void say(TripResult& result, const char* step, const char* path, const char* why) {
  std::snprintf(result.words, sizeof result.words, "%s %s: %s", step, path, why);
}

// Reads the menu file here at `path` whole into `into`.
bool readHere(const char* path, char* into, std::size_t& size, char (&words)[kWordsSize]) {
  bool whole = false;
  if (!readFileStart(path, into, kMaxCarried, size, whole, words)) return false;
  if (!whole) std::snprintf(words, sizeof words, "larger than a menu file (1 MiB)");
  return whole;
}

// Which of a menu and its .bak a folder's listing holds.
struct Present {
  const char* name;
  bool menu = false;
  bool backup = false;
};

void notePresent(std::string_view name, void* context) {
  Present& present = *static_cast<Present*>(context);
  const std::string_view menu = present.name;
  present.menu = present.menu || name == menu;
  present.backup = present.backup || (name.size() == menu.size() + kBackupSuffix.size() &&
                                      slice(name, 0, menu.size()) == menu && slice(name, menu.size()) == kBackupSuffix);
}

}  // namespace

const char* readConsoleAddress(std::string_view url, ConsoleAddress& address) {
  address = {};
  constexpr std::string_view kScheme = "ftp://";
  if (slice(url, 0, kScheme.size()) != kScheme) return "not an ftp:// address";
  url.remove_prefix(kScheme.size());
  const std::size_t slash = url.find('/');
  std::string_view server(url.data(), slash == std::string_view::npos ? url.size() : slash);
  const std::string_view path = slice(url, slash);
  if (const std::size_t at = server.rfind('@'); at != std::string_view::npos) {
    const std::string_view login(server.data(), at);
    const std::size_t colon = login.find(':');
    address.named_user = true;
    if (const char* wrong = decoded(slice(login, 0, colon), address.user)) return wrong;
    if (colon != std::string_view::npos) {
      address.named_password = true;
      if (const char* wrong = decoded(slice(login, colon + 1), address.password)) return wrong;
    }
    server.remove_prefix(at + 1);
  }
  if (const std::size_t colon = server.rfind(':'); colon != std::string_view::npos) {
    unsigned port = 0;
    const std::string_view digits = slice(server, colon + 1);
    for (const char c : digits) port = c >= '0' && c <= '9' && port < 65536 ? port * 10 + (c - '0') : 65536;
    if (digits.empty() || port == 0 || port > 65535) return "a port that is not a number from 1 to 65535";
    address.port = port;
    server.remove_suffix(server.size() - colon);
  }
  if (server.empty()) return "no host";
  if (const char* wrong = decoded(server, address.host)) return wrong;
  if (const char* wrong = decoded(path, address.folder)) return wrong;
  for (std::size_t end = std::strlen(address.folder); end > 0 && address.folder[end - 1] == '/';)
    address.folder[--end] = '\0';
  return nullptr;
}

void showAddress(const ConsoleAddress& address, char (&shown)[1536]) {
  const char* const at = address.named_user ? "@" : "";
  std::snprintf(shown, sizeof shown, "ftp://%s%s%s%s:%u%s/", address.named_user ? address.user : "",
                address.named_password ? ":***" : "", at, address.host, address.port, address.folder);
}

TripResult fetchMenus(FtpConnection* connection, const ConsoleAddress& address) {
  TripResult result;
  FileReplacement files[2];
  for (int i = 0; i < 2; ++i) {
    char path[1280];
    remotePath(address, kMenus[i].name, "", path);
    std::size_t size = 0;
    bool whole = false;
    char words[kWordsSize];
    const FtpFound found = ftpRead(connection, path, carried[i], kMaxCarried, size, whole, words);
    if (found != FtpFound::kFound) {
      say(result, "Could not fetch", path, found == FtpFound::kMissing ? "no such file on the console" : words);
      return result;
    }
    if (!whole) {
      say(result, "Could not fetch", path, "larger than a menu file (1 MiB)");
      return result;
    }
    files[i] = {kMenus[i].local, std::string_view(carried[i], size), true};
  }
  result.same = true;
  for (int i = 0; i < 2 && result.same; ++i) {
    char words[kWordsSize];
    std::size_t size = 0;
    result.same = readHere(kMenus[i].local, here, size, words) && std::string_view(here, size) == files[i].contents;
  }
  if (result.same) {
    result.done = true;
    return result;
  }
  // A first fetch on this computer makes the folders the menus live in.
  makeFolder("." HVN_PATH_SEPARATOR "hvn");
  makeFolder("." HVN_PATH_SEPARATOR "hvn" HVN_PATH_SEPARATOR "ini");
  result.written = replaceFiles(files, 2);
  result.done = result.written.failed < 0;
  if (!result.done) std::snprintf(result.words, sizeof result.words, "Could not write %s", result.written.words);
  return result;
}

TripResult sendMenus(FtpConnection* connection, const ConsoleAddress& address) {
  TripResult result;
  char words[kWordsSize];
  std::size_t sizes[2] = {};
  for (int i = 0; i < 2; ++i)
    if (!readHere(kMenus[i].local, carried[i], sizes[i], words)) {
      say(result, "Could not read", kMenus[i].local, words);
      return result;
    }
  // Both new menus on the console beside the old ones, whole, before any
  // old one moves.
  char fresh[2][1280];
  for (int i = 0; i < 2; ++i) {
    remotePath(address, kMenus[i].name, ".new", fresh[i]);
    std::uint64_t there = 0;
    if (!ftpWrite(connection, fresh[i], std::string_view(carried[i], sizes[i]), words)) {
      say(result, "Could not send", fresh[i], words);
      return result;
    }
    if (ftpSize(connection, fresh[i], there, words) != FtpFound::kFound || there != sizes[i]) {
      char why[kWordsSize + 64];
      std::snprintf(why, sizeof why, "the console holds %llu of the %zu bytes sent", static_cast<unsigned long long>(there),
                    sizes[i]);
      say(result, "Could not send", fresh[i], why);
      return result;
    }
  }
  // The game menu first, as the launcher starts with it.
  for (const int i : {1, 0}) {
    char path[1280];
    char backup[1280];
    remotePath(address, kMenus[i].name, "", path);
    remotePath(address, kMenus[i].name, kBackupSuffix.data(), backup);
    // The old menu to its .bak; where that is refused, the folder's own
    // listing tells whether there is an old menu, and an older .bak, and the
    // older .bak goes first on a server that will not rename over it.
    bool old = true;
    if (!ftpRename(connection, path, backup, words)) {
      char folder[1280];
      std::snprintf(folder, sizeof folder, "%s/hvn/ini", address.folder);
      Present present{kMenus[i].name};
      if (!ftpList(connection, folder, notePresent, &present, words)) {
        say(result, "Could not look in", folder, words);
        return result;
      }
      old = present.menu;
      if (old && !(present.backup && ftpRemove(connection, backup, words) && ftpRename(connection, path, backup, words))) {
        say(result, "Could not keep the console's old menu as", backup, words);
        return result;
      }
    }
    if (!ftpRename(connection, fresh[i], path, words)) {
      say(result, "Could not put the new menu in place of", path, words);
      // Its old menu back at its name, where that can be done.
      if (old) ftpRename(connection, backup, path, words);
      return result;
    }
  }
  result.done = true;
  return result;
}
