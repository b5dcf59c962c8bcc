#include "catalogue/menu_files.h"

#include <cstdio>
#include <vector>

namespace {

// The launcher expects CR LF on every platform, so the line end is spelled
// out and files are read and written as bytes.
constexpr std::string_view kFileLineEnd = "\r\n";
constexpr std::string_view kSeparator = "==";

// The largest file a list is written as: every line as long as it can be.
constexpr std::size_t kMaxFileSize =
    kMaxEntries * (kMaxTextLength + kSeparator.size() + kMaxTextLength + kFileLineEnd.size());

// Composes the file a list is written as in `text`.
std::string_view menuFileText(const EntryList& list, char (&text)[kMaxFileSize]) {
  char* next = text;
  for (int i = 0; i < count(list); ++i) {
    const MenuEntry line = entry(list, i);
    for (const std::string_view piece : {line.name, kSeparator, line.path, kFileLineEnd})
      next += piece.copy(next, piece.size());
  }
  return {text, static_cast<std::size_t>(next - text)};
}

constexpr std::size_t kReadBlockSize = 64 * 1024;
// The longest line a list can hold whole: name, "==", path, and the CR of
// its line end.
constexpr std::size_t kMaxLineSize = kMaxTextLength + kSeparator.size() + kMaxTextLength + 1;
constexpr std::uint64_t kNoSeparator = ~std::uint64_t{0};

// One line as it arrives. Only its first kMaxLineSize bytes are kept, which
// is all of any line a list can hold; of the rest, only what decides that the
// line is refused and why: its length, where "==" first stands, a zero byte.
struct Line {
  char bytes[kMaxLineSize];
  std::uint64_t size = 0;
  std::uint64_t separator = kNoSeparator;
  bool has_zero = false;
  char last = '\0';  // the line's last byte so far, kept or not
};

void startLine(Line& line) {
  line.size = 0;
  line.separator = kNoSeparator;
  line.has_zero = false;
  line.last = '\0';
}

void addByte(Line& line, char c) {
  if (c == '\0') line.has_zero = true;
  if (c == '=' && line.last == '=' && line.separator == kNoSeparator && line.size > 0)
    line.separator = line.size - 1;
  if (line.size < kMaxLineSize) line.bytes[line.size] = c;
  ++line.size;
  line.last = c;
}

// Takes a finished line into `list`. Returns why it cannot be held whole, or
// an empty view when it was taken or was blank.
std::string_view takeLine(const Line& line, bool ended_by_lf, EntryList& list) {
  // A CR before the LF is part of the line end; a lone CR is a blank line.
  const bool drop_cr = line.size > 0 && line.last == '\r' && (ended_by_lf || line.size == 1);
  const std::uint64_t size = line.size - (drop_cr ? 1 : 0);
  if (size == 0) return {};
  if (line.has_zero) return "zero byte in the line";
  if (line.separator == kNoSeparator || line.separator + kSeparator.size() > size)
    return "no \"==\" in the line";
  if (line.separator > kMaxTextLength) return "name longer than 254 bytes";
  const std::uint64_t path_begin = line.separator + kSeparator.size();
  if (size - path_begin > kMaxTextLength) return "path longer than 254 bytes";
  const std::string_view name(line.bytes, line.separator);
  const std::string_view path(line.bytes + path_begin, size - path_begin);
  if (keepEntry(list, name, path) != AddResult::kAccepted) return "more than 255 entries";
  return {};
}

}  // namespace

bool checkMenuFile(const char* path) { return isReadableFile(path); }

std::string_view writeMenuFiles(const EntryList& apps, const EntryList& games) {
  char text[kMaxFileSize];
  if (!replaceFileContents(kAppMenuPath, menuFileText(apps, text))) return kAppMenuPath;
  if (!replaceFileContents(kGameMenuPath, menuFileText(games, text))) return kGameMenuPath;
  return {};
}

MenuFileRead readMenuFile(const char* path, EntryList& list) {
  MenuFileRead read{1, {}};
  std::FILE* const file = std::fopen(path, "rb");
  if (file == nullptr) return {1, "could not be read"};
  std::vector<char> block(kReadBlockSize);
  Line line;
  std::size_t n;
  while (read.reason.empty() && (n = std::fread(block.data(), 1, block.size(), file)) > 0) {
    for (std::size_t i = 0; i < n && read.reason.empty(); ++i) {
      if (block[i] != '\n') {
        addByte(line, block[i]);
        continue;
      }
      read.reason = takeLine(line, true, list);
      if (read.reason.empty()) ++read.line;
      startLine(line);
    }
  }
  if (read.reason.empty()) {
    read.reason = std::ferror(file) ? "could not be read" : takeLine(line, false, list);
  }
  std::fclose(file);
  return read;
}
