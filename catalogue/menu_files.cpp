#include "catalogue/menu_files.h"

#include <cstdio>

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

}  // namespace

bool checkMenuFile(const char* path) { return isReadableFile(path); }

std::string_view writeMenuFiles(const EntryList& apps, const EntryList& games) {
  char text[kMaxFileSize];
  if (!replaceFileContents(kAppMenuPath, menuFileText(apps, text))) return kAppMenuPath;
  if (!replaceFileContents(kGameMenuPath, menuFileText(games, text))) return kGameMenuPath;
  return {};
}
