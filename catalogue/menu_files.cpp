#include "catalogue/menu_files.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
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
// The longest line a list can hold: name, "==" and path. A line never holds
// a line end, since CR and LF both end one.
constexpr std::size_t kMaxLineSize = kMaxTextLength + kSeparator.size() + kMaxTextLength;
constexpr std::size_t kNoSeparator = ~std::size_t{0};

constexpr std::string_view kZeroByte = "zero byte in the line";
constexpr std::string_view kNoSeparatorInLine = "no \"==\" in the line";
constexpr std::string_view kNameTooLong = "name longer than 254 bytes";
constexpr std::string_view kPathTooLong = "path longer than 254 bytes";
constexpr std::string_view kTooManyEntries = "more than 255 entries";
constexpr std::string_view kMarkedName = "name starts with a byte-order mark";
constexpr std::string_view kUnreadable = "could not be read";
constexpr std::string_view kUtf16 = "UTF-16 text (saved as Unicode), not ANSI or UTF-8";

constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16Marks[] = {"\xFF\xFE", "\xFE\xFF"};

// The line being read, so far.
struct Line {
  char bytes[kMaxLineSize];
  std::size_t size = 0;
  std::size_t separator = kNoSeparator;  // where the first "==" starts
};

// Adds the next byte of a line. Returns why the line cannot be kept as soon
// as that is certain, whatever may follow, so that reading stops there: a
// zero byte; a name past its limit, because no "==" started in time; a path
// past its limit. Only those bytes that can belong to a kept line are stored.
std::string_view addByte(Line& line, char c) {
  if (c == '\0') return kZeroByte;
  const std::size_t index = line.size;
  if (c == '=' && line.separator == kNoSeparator && index > 0 && line.bytes[index - 1] == '=')
    line.separator = index - 1;
  if (line.separator == kNoSeparator) {
    if (index >= kMaxTextLength + 1) return kNameTooLong;
  } else if (index + 1 - (line.separator + kSeparator.size()) > kMaxTextLength) {
    return kPathTooLong;
  }
  line.bytes[index] = c;
  line.size = index + 1;
  return {};
}

// Takes a finished line into `list` and starts the next. Returns why it
// cannot be kept, or an empty view when it was taken or was blank.
std::string_view endLine(Line& line, EntryList& list) {
  const std::size_t size = line.size;
  const std::size_t separator = line.separator;
  line.size = 0;
  line.separator = kNoSeparator;
  if (size == 0) return {};
  if (separator == kNoSeparator) return kNoSeparatorInLine;
  const std::string_view name(line.bytes, separator);
  const std::size_t path_begin = separator + kSeparator.size();
  const std::string_view path(line.bytes + path_begin, size - path_begin);
  switch (keepEntry(list, name, path)) {
    case AddResult::kAccepted: return {};
    case AddResult::kMarkedName: return kMarkedName;
    default: return kTooManyEntries;
  }
}

// Takes the bytes of a menu file, one block at a time: LF, CR LF and a CR on
// its own each end a line, so a CR LF split between two blocks is still one
// line end.
struct Reader {
  Line line;
  bool after_cr = false;
  MenuFileRead read{1, {}};
  std::uint64_t* lines = nullptr;  // where given, each entry's line number, by its place in the list
};

// Ends the line being read; where it became an entry, notes its number.
void finishLine(Reader& reader, EntryList& list) {
  const int before = count(list);
  reader.read.reason = endLine(reader.line, list);
  if (reader.lines != nullptr && count(list) > before) reader.lines[before] = reader.read.line;
}

void takeBytes(Reader& reader, const char* bytes, std::size_t size, EntryList& list) {
  for (std::size_t i = 0; i < size && reader.read.reason.empty(); ++i) {
    const char c = bytes[i];
    const bool second_half = c == '\n' && reader.after_cr;
    reader.after_cr = c == '\r';
    if (second_half) continue;
    if (c != '\r' && c != '\n') {
      reader.read.reason = addByte(reader.line, c);
      continue;
    }
    finishLine(reader, list);
    if (reader.read.reason.empty()) ++reader.read.line;
  }
}

// Adds `bytes` to a stamp, as far as kStampedBytes: their count, and a
// 64-bit FNV-1a digest.
void addToStamp(MenuFileStamp& stamp, std::string_view bytes) {
  // A view made by hand, as substr could throw.
  bytes = std::string_view(bytes.data(), std::min<std::size_t>(bytes.size(), kStampedBytes - stamp.size));
  for (const char c : bytes) stamp.digest = (stamp.digest ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
  stamp.size += bytes.size();
}

// Reads the file open as `fd` block by block into `stamp`, handing each
// block to `take` until it returns false. Returns false on a read error.
template <typename Take>
bool readBlocks(int fd, MenuFileStamp& stamp, Take take) {
  std::vector<char> block(kReadBlockSize);
  stamp.read = true;
  for (long n; (n = readFileBytes(fd, block.data(), block.size())) != 0;) {
    if (n < 0) {
      stamp.read = false;
      return false;
    }
    addToStamp(stamp, std::string_view(block.data(), static_cast<std::size_t>(n)));
    if (!take(std::string_view(block.data(), static_cast<std::size_t>(n)))) return true;
  }
  return true;
}

bool sameStamps(const MenuFileStamp& a, const MenuFileStamp& b) {
  return a.read == b.read && (!a.read || (a.size == b.size && a.digest == b.digest));
}

// What the menu file at `path` is now, or, where it cannot be read, -1 with
// why in `words`, or kHeldElsewhere.
int stampNow(const char* path, MenuFileStamp& now, char (&words)[kWordsSize]) {
  now = {};
  const int fd = openToRead(path, words);
  if (fd < 0) return fd;
  // No further than the stamp reaches, so that a device without end cannot
  // stall it.
  const bool read = readBlocks(fd, now, [&](std::string_view) { return now.size < kStampedBytes; });
  closeFile(fd);
  if (!read) std::snprintf(words, sizeof words, "%s", std::strerror(errno));
  return read ? 0 : -1;
}

}  // namespace

std::string_view checkMenuFile(const char* path, char (&words)[kWordsSize]) {
  const int fd = openToRead(path, words);
  if (fd < 0) return words;
  closeFile(fd);
  return {};
}

FilesWrite writeMenuFiles(const EntryList& apps, const EntryList& games, const bool (&backup)[2],
                          const MenuFileStamp* const (&last_seen)[2]) {
  // Both files at once, each as long as it can be.
  char app_text[kMaxFileSize];
  char game_text[kMaxFileSize];
  FileReplacement files[] = {{kAppMenuPath, menuFileText(apps, app_text), backup[0]},
                             {kGameMenuPath, menuFileText(games, game_text), backup[1]}};
  for (int i = 0; i < 2; ++i)
    if (last_seen[i] != nullptr && last_seen[i]->read) {
      files[i].as_last_seen = [](std::string_view old, const void* stamp) {
        MenuFileStamp now;
        now.read = true;
        addToStamp(now, old);
        return sameStamps(now, *static_cast<const MenuFileStamp*>(stamp));
      };
      files[i].last_seen = last_seen[i];
    }
  return replaceFiles(files, 2);
}

MenuFileRead readMenuFile(const char* path, EntryList& list, MenuFileStamp* stamp, std::uint64_t* lines) {
  // Opened without waiting, and only as a file or a device: a FIFO put in the
  // file's place since the start-up check would stall the start.
  char words[kWordsSize];
  const int fd = openToRead(path, words);
  if (fd < 0) return {1, kUnreadable};
  Reader reader;
  reader.lines = lines;
  MenuFileStamp read_as;
  bool first = true;
  const bool read = readBlocks(fd, read_as, [&](std::string_view bytes) {
    // Notepad and others mark the encoding they saved in at the start.
    if (first) {
      first = false;
      for (const std::string_view mark : kUtf16Marks)
        if (bytes.substr(0, mark.size()) == mark) reader.read.reason = kUtf16;
      if (bytes.substr(0, kUtf8Mark.size()) == kUtf8Mark) bytes.remove_prefix(kUtf8Mark.size());
    }
    if (reader.read.reason.empty()) takeBytes(reader, bytes.data(), bytes.size(), list);
    return reader.read.reason.empty();
  });
  if (reader.read.reason.empty() && !read) reader.read.reason = kUnreadable;
  if (reader.read.reason.empty()) finishLine(reader, list);
  closeFile(fd);
  if (stamp != nullptr) *stamp = read_as;
  return reader.read;
}

Elsewhere lookAgain(WatchedMenuFile& file, char (&words)[kWordsSize]) {
  MenuFileStamp now;
  if (const int looked = stampNow(file.path, now, words); looked != 0) {
    if (std::exchange(file.unreadable_told, true)) return Elsewhere::kUnchanged;
    return looked == kHeldElsewhere ? Elsewhere::kHeld : Elsewhere::kUnreadable;
  }
  file.unreadable_told = false;
  if (sameStamps(now, file.stamp)) return Elsewhere::kUnchanged;
  file.stamp = now;
  return Elsewhere::kChanged;
}

void lookAfterFailedSave(WatchedMenuFile& file) {
  char words[kWordsSize];
  MenuFileStamp now;
  file.unreadable_told = stampNow(file.path, now, words) != 0;
  if (!file.unreadable_told) file.stamp = now;
}
