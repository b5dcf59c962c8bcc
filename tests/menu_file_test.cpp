// Facts about reading a menu file back: what ends a line, what is dropped,
// what refuses the file, and which line a refusal names; and what the watch
// of a file read makes of what happened to it since.
#include "catalogue/menu_files.h"
#include "tests/row_name.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

namespace {

struct ReadCase {
  const char* what;
  std::string bytes;
  std::string entries;  // taken before reading stopped, "name==path\n" each
  std::string reason;   // empty when every line was taken
  std::uint64_t line = 0;
};

std::string repeat(const std::string& text, int times) {
  std::string all;
  for (int i = 0; i < times; ++i) all += text;
  return all;
}

const std::string k254(254, 'x');
const std::string k255(255, 'x');

const ReadCase kReadCases[] = {
    {"empty file", "", "", ""},
    {"CR LF, LF and a last line without an end", "A==a\r\nB==b\nC==c", "A==a\nB==b\nC==c\n", ""},
    {"a lone CR ends a line", "A==e:\\a\rB==e:\\b\r", "A==e:\\a\nB==e:\\b\n", ""},
    {"LF CR is two line ends", "D==d\n\rE==e\r\n", "D==d\nE==e\n", ""},
    {"blank lines skipped", "\nA==a\n\r\n\r\rB==b\r\n\r\n", "A==a\nB==b\n", ""},
    {"first == splits, the rest is the path", "a==b==c\r\n", "a==b==c\n", ""},
    {"spaces and odd lines as they stand", " My Game == e:\\my games\\ \r\n==e:\\no-name\r\nhd==hd:\\x\\\r\n",
     " My Game == e:\\my games\\ \n==e:\\no-name\nhd==hd:\\x\\\n", ""},
    {"empty name and path", "==\r\n", "==\n", ""},
    {"UTF-8 mark dropped", "\xEF\xBB\xBFRacer==e:\\r\r\n", "Racer==e:\\r\n", ""},
    {"longest name and path", k254 + "==" + k254, k254 + "==" + k254 + "\n", ""},
    {"255 entries", repeat("G==g\r\n", 255), repeat("G==g\n", 255), ""},
    {"no ==", "A==a\r\n\r\nB=b\r\n", "A==a\n", "no \"==\" in the line", 3},
    {"line numbers count every line end", "A==a\r\rB==b\r\r\nC\nD==d", "A==a\nB==b\n", "no \"==\" in the line", 5},
    {"name too long", k255 + "==a", "", "name longer than 254 bytes", 1},
    {"path too long", "A==a\n\nB==" + k255, "A==a\n", "path longer than 254 bytes", 3},
    {"zero byte", std::string("A==a\0b\r\n", 8), "", "zero byte in the line", 1},
    {"256th entry", repeat("G==g\r\n", 256), repeat("G==g\n", 255), "more than 255 entries", 256},
    {"UTF-16 little-endian", std::string("\xFF\xFE" "A\0=\0=\0a\0", 10), "", "UTF-16 text (saved as Unicode), not ANSI or UTF-8", 1},
    {"UTF-16 big-endian", std::string("\xFE\xFF\0A\0=\0=\0a", 10), "", "UTF-16 text (saved as Unicode), not ANSI or UTF-8", 1},
    {"a name starting with a UTF-16 mark", "A==a\r\n\xFF\xFE" "B==b\r\n", "A==a\n", "name starts with a byte-order mark", 2},
    {"a second UTF-8 mark", "\xEF\xBB\xBF\xEF\xBB\xBF" "B==b\r\n", "", "name starts with a byte-order mark", 1},
    {"a line longer than a read block", "A==" + std::string(70000, 'p') + "\r\n", "", "path longer than 254 bytes", 1},
};

void PrintTo(const ReadCase& c, std::ostream* out) { *out << c.what; }

class MenuFile : public testing::TestWithParam<ReadCase> {};

TEST_P(MenuFile, ReadsLinesAsTheyStand) {
  const ReadCase& c = GetParam();
  const std::string path =
      testing::TempDir() + "hvn-" + rowName(c.what) + ".ini";
  std::FILE* const file = std::fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  std::fwrite(c.bytes.data(), 1, c.bytes.size(), file);
  std::fclose(file);
  static EntryList list;
  list.count = 0;
  const MenuFileRead read = readMenuFile(path.c_str(), list);
  std::remove(path.c_str());
  std::string entries;
  for (int i = 0; i < list.count; ++i) entries += std::string(list.names[i]) + "==" + list.paths[i] + "\n";
  EXPECT_EQ(entries, c.entries);
  EXPECT_EQ(read.reason, c.reason);
  if (!c.reason.empty()) {
    EXPECT_EQ(read.line, c.line);
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, MenuFile, testing::ValuesIn(kReadCases),
                         [](const testing::TestParamInfo<ReadCase>& row) { return rowName(row.param.what); });

TEST(MenuFileUnreadable, RefusedAtLineOne) {
  static EntryList list;
  const MenuFileRead read = readMenuFile((testing::TempDir() + "no-such-menu.ini").c_str(), list);
  EXPECT_EQ(read.reason, "could not be read");
  EXPECT_EQ(read.line, 1u);
}

// What happens to a file after it was read, and what two looks at it find.
void renamedOver(const std::string& path) {
  std::filesystem::copy_file(path, path + ".new");
  std::filesystem::rename(path + ".new", path);
}
void firstByteChanged(const std::string& path) { std::fstream(path, std::ios::in | std::ios::out).put('B'); }
void removed(const std::string& path) { std::filesystem::remove(path); }
std::thread holding;
#ifdef _WIN32
// Held without sharing for three seconds, longer than a look waits.
void heldForThreeSeconds(const std::string& path) {
  const HANDLE held = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  holding = std::thread([held] {
    Sleep(3000);
    CloseHandle(held);
  });
}
#endif

struct WatchCase {
  const char* what;
  std::string bytes;
  void (*meanwhile)(const std::string& path);
  Elsewhere first, second;
};
const WatchCase kWatchCases[] = {
    {"untouched, longer than a look reads", std::string(kStampedBytes + 5, '\n'), nullptr, Elsewhere::kUnchanged,
     Elsewhere::kUnchanged},
    {"the same bytes under a new file number", "A==a\r\n", renamedOver, Elsewhere::kUnchanged, Elsewhere::kUnchanged},
    {"a byte changed", "A==a\r\n", firstByteChanged, Elsewhere::kChanged, Elsewhere::kUnchanged},
    {"removed, named once", "A==a\r\n", removed, Elsewhere::kUnreadable, Elsewhere::kUnchanged},
#ifdef _WIN32
    {"held by another program, then let go", "A==a\r\n", heldForThreeSeconds, Elsewhere::kHeld,
     Elsewhere::kUnchanged},
#endif
};

void PrintTo(const WatchCase& c, std::ostream* out) { *out << c.what; }

class Watch : public testing::TestWithParam<WatchCase> {};

TEST_P(Watch, CallsAChangeOnlyAChange) {
  const WatchCase& c = GetParam();
  const std::string path = testing::TempDir() + "hvn-watch-" + rowName(c.what) + ".ini";
  std::ofstream(path, std::ios::binary) << c.bytes;
  static EntryList list;
  list.count = 0;
  WatchedMenuFile file{path.c_str(), list, {}};
  readMenuFile(path.c_str(), list, &file.stamp);
  if (c.meanwhile != nullptr) c.meanwhile(path);
  char words[kWordsSize];
  EXPECT_EQ(lookAgain(file, words), c.first) << words;
  EXPECT_EQ(lookAgain(file, words), c.second) << words;
  if (holding.joinable()) holding.join();
  std::remove(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(Rows, Watch, testing::ValuesIn(kWatchCases),
                         [](const testing::TestParamInfo<WatchCase>& row) { return rowName(row.param.what); });

}  // namespace
