// What both fuzz targets share: a scratch folder laid out as the program
// wants it, reading a file whole, and a check that stops the run with a
// message when an invariant breaks.
#ifndef HALVANE_FUZZ_FUZZ_SUPPORT_H_
#define HALVANE_FUZZ_FUZZ_SUPPORT_H_

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include <sys/stat.h>
#include <unistd.h>

#include "catalogue/entry_list.h"

inline void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

// The file a list is written as: one name==path line with CR LF per entry.
inline std::string menuFileOf(const EntryList& list) {
  std::string text;
  for (int i = 0; i < count(list); ++i)
    text.append(entry(list, i).name).append("==").append(entry(list, i).path).append("\r\n");
  return text;
}

inline std::string contentOf(const char* path) {
  std::string text;
  std::FILE* file = std::fopen(path, "rb");
  check(file != nullptr, "menu file readable");
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, n);
  std::fclose(file);
  return text;
}

// Makes `path` hold `content`, writing only if it does not already.
inline void setContent(const char* path, std::string_view content) {
  struct stat info;
  if (stat(path, &info) == 0 && static_cast<std::size_t>(info.st_size) == content.size() &&
      contentOf(path) == content)
    return;
  std::FILE* file = std::fopen(path, "wb");
  check(file != nullptr && std::fwrite(content.data(), 1, content.size(), file) == content.size(),
        "menu file written");
  std::fclose(file);
}

// A scratch folder with the layout the start-up test wants, entered once.
inline void enterScratchFolder() {
  static bool entered = false;
  if (entered) return;
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/hvn-fuzz-XXXXXX";
  check(mkdtemp(pattern.data()) != nullptr && chdir(pattern.c_str()) == 0, "scratch folder");
  mkdir("hvn", 0755);
  mkdir("hvn/ini", 0755);
  entered = true;
}

#endif  // HALVANE_FUZZ_FUZZ_SUPPORT_H_
