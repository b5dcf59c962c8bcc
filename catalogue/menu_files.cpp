#include "catalogue/menu_files.h"

#include <cstdio>

namespace {

// The launcher expects CR LF on every platform, so files are written in
// binary mode with the line end spelled out.
constexpr std::string_view kFileLineEnd = "\r\n";
constexpr std::string_view kSeparator = "==";

bool writePiece(std::FILE* file, std::string_view piece) {
  return std::fwrite(piece.data(), 1, piece.size(), file) == piece.size();
}

// Creates or truncates the file at `path` and writes every entry of `list`.
bool writeMenuFile(const char* path, const EntryList& list) {
  std::FILE* const file = std::fopen(path, "wb");
  if (file == nullptr) return false;
  bool written = true;
  for (int i = 0; i < count(list) && written; ++i) {
    const MenuEntry line = entry(list, i);
    written = writePiece(file, line.name) && writePiece(file, kSeparator) &&
              writePiece(file, line.path) && writePiece(file, kFileLineEnd);
  }
  // Buffered bytes reach the disk only here, so a full disk often shows first
  // as a failed close.
  const bool closed = std::fclose(file) == 0;
  return written && closed;
}

}  // namespace

bool checkMenuFile(const char* path) { return isReadableFile(path); }

std::string_view writeMenuFiles(const EntryList& apps, const EntryList& games) {
  if (!writeMenuFile(kAppMenuPath, apps)) return kAppMenuPath;
  if (!writeMenuFile(kGameMenuPath, games)) return kGameMenuPath;
  return {};
}
