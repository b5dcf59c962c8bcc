#include "catalogue/program_scan.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace {

// The header's fields (xboxdevwiki, "Xbe"): a magic number, the address the
// image is loaded at, the certificate's address; in the certificate, the
// title as 40 UTF-16LE characters.
constexpr std::string_view kMagic = "XBEH";
constexpr std::size_t kBaseAddressAt = 0x104;
constexpr std::size_t kCertificateAt = 0x118;
constexpr std::size_t kTitleInCertificate = 0x0C;
constexpr std::size_t kTitleCharacters = 40;

std::uint32_t littleEndian(std::string_view bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (std::size_t i = 4; i-- > 0;) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

// Where the title starts, or 0 for no program or one past kMaxTitleEnd.
std::size_t titleStart(std::string_view start) {
  if (start.size() < kXbeHeaderStart || std::string_view(start.data(), kMagic.size()) != kMagic) return 0;
  const std::uint32_t base = littleEndian(start, kBaseAddressAt);
  const std::uint32_t certificate = littleEndian(start, kCertificateAt);
  if (certificate < base || certificate - base > kMaxTitleEnd) return 0;
  return certificate - base + kTitleInCertificate;
}

// The folder names of a listing, kept for counting before they are looked in.
constexpr int kMaxListed = 1024;
struct Listed {
  char names[kMaxListed][kFieldSize];
  int count = 0;
} listed;

void keepName(std::string_view name, void* context) {
  Listed& into = *static_cast<Listed*>(context);
  if (into.count == kMaxListed || name.size() >= kFieldSize) return;
  name.copy(into.names[into.count], name.size());
  into.names[into.count++][name.size()] = '\0';
}

// Reads the first bytes of the file at `path` of `source`, up to `capacity`.
FtpFound readStart(const ProgramSource& source, const char* path, char* into, std::size_t capacity,
                   std::size_t& size, bool& whole, char (&words)[kWordsSize]) {
  if (source.console != nullptr) return ftpRead(source.console, path, into, capacity, size, whole, words);
  if (pathKind(path) == PathKind::kNothing) return FtpFound::kMissing;
  return readFileStart(path, into, capacity, size, whole, words) ? FtpFound::kFound : FtpFound::kFailed;
}

char header[kMaxTitleEnd];

void skip(ScanResult& result, const char* path, const char* why) {
  const std::size_t used = std::strlen(result.skipped);
  std::snprintf(result.skipped + used, sizeof result.skipped - used, "Skipped %s: %s\n", path, why);
}

}  // namespace

std::size_t titleEnd(std::string_view start) {
  const std::size_t title = titleStart(start);
  return title == 0 ? 0 : title + 2 * kTitleCharacters;
}

XbeTitle readXbeTitle(std::string_view bytes) {
  XbeTitle read;
  if (bytes.size() < kXbeHeaderStart || std::string_view(bytes.data(), kMagic.size()) != kMagic) return read;
  const std::size_t start = titleStart(bytes);
  if (start == 0 || start + 2 * kTitleCharacters > bytes.size()) {
    read.kind = XbeKind::kCertificateOutside;
    return read;
  }
  read.kind = XbeKind::kTitled;
  std::size_t length = 0;
  for (std::size_t i = 0; i < kTitleCharacters; ++i) {
    const char16_t c = static_cast<char16_t>(static_cast<unsigned char>(bytes[start + 2 * i]) |
                                             static_cast<unsigned char>(bytes[start + 2 * i + 1]) << 8);
    if (c == 0) break;
    if ((c < ' ' || c > '~') && read.unshown == 0) read.unshown = c;
    read.title[length++] = static_cast<char>(c);
  }
  read.title[length] = '\0';
  if (read.unshown != 0) read.kind = XbeKind::kUnshownTitle;
  if (length == 0) read.kind = XbeKind::kNoTitle;
  return read;
}

void scanForPrograms(const ProgramSource& source, const char* folder, std::string_view console_folder,
                     ScanResult& result, void (*progress)(int done, int of)) {
  result.count = 0;
  result.skipped[0] = '\0';
  listed.count = 0;
  if (source.console != nullptr) {
    result.listed = ftpList(source.console, folder, keepName, &listed, result.words);
  } else {
    const char* const why = listFolder(folder, keepName, &listed);
    result.listed = why == nullptr;
    if (!result.listed) std::snprintf(result.words, sizeof result.words, "%s", why);
  }
  if (!result.listed) return;
  // In name order, whatever order the folder lists them in.
  static int order[kMaxListed];
  for (int i = 0; i < listed.count; ++i) order[i] = i;
  std::sort(order, order + listed.count, [](int a, int b) { return std::strcmp(listed.names[a], listed.names[b]) < 0; });
  const char separator = source.console != nullptr ? '/' : HVN_PATH_SEPARATOR[0];
  for (int i = 0; i < listed.count && result.count < kMaxFound; ++i) {
    if (progress != nullptr) progress(i + 1, listed.count);
    const char* const name = listed.names[order[i]];
    char path[1536];
    // Files of the folder here are passed over; on the console they have
    // no default.xbe to read.
    const int folder_end = std::snprintf(path, sizeof path, "%s%c%s", folder, separator, name);
    if (source.console == nullptr && pathKind(path) != PathKind::kFolder) continue;
    std::snprintf(path + folder_end, sizeof path - static_cast<std::size_t>(folder_end), "%cdefault.xbe", separator);
    FoundProgram& program = result.found[result.count];
    const int made = std::snprintf(program.path, sizeof program.path, "%.*s%s\\default.xbe",
                                   static_cast<int>(console_folder.size()), console_folder.data(), name);
    char words[kWordsSize];
    std::size_t size = 0;
    bool whole = false;
    // The header's start first; the rest only as far as the title.
    FtpFound found = readStart(source, path, header, 4096, size, whole, words);
    if (found == FtpFound::kMissing) continue;
    const std::size_t end = found == FtpFound::kFound ? titleEnd(std::string_view(header, size)) : 0;
    if (found == FtpFound::kFound && !whole && end > size)
      found = readStart(source, path, header, end, size, whole, words);
    if (found != FtpFound::kFound) {
      skip(result, program.path, words);
      continue;
    }
    program.header = readXbeTitle(std::string_view(header, size));
    switch (program.header.kind) {
      case XbeKind::kNotAProgram: skip(result, program.path, "not a program: no XBEH at its start"); continue;
      case XbeKind::kCertificateOutside: skip(result, program.path, "not a program: its certificate lies outside the file"); continue;
      default: break;
    }
    if (made < 0 || static_cast<std::size_t>(made) > kMaxTextLength) {
      skip(result, program.path, "its path is longer than 254 bytes");
      continue;
    }
    std::snprintf(program.name, sizeof program.name, "%s",
                  program.header.kind == XbeKind::kTitled ? program.header.title : name);
    ++result.count;
  }
}
