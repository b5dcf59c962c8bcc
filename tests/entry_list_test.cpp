// Facts about adding to an entry list: what is stored, what is refused, and
// that a refusal leaves the list as it was.
#include "catalogue/entry_list.h"
#include "catalogue/entry_checks.h"
#include "catalogue/program_scan.h"
#include "tests/xbe_file.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

enum class Kind { kDirectory, kTitle, kKept };

struct AddCase {
  const char* what;
  int already_stored;  // entries in the list before the addition
  Kind kind;
  std::string name;  // single programs only
  std::string path;
  AddResult result;
  std::string stored_path;  // when accepted
};

const std::string k253(253, 'p');
const std::string k254(254, 'p');
const std::string k255(255, 'p');

const AddCase kAddCases[] = {
    {"directory with backslash kept", 0, Kind::kDirectory, "", "e:\\games\\", AddResult::kAccepted, "e:\\games\\"},
    {"directory gets one backslash", 0, Kind::kDirectory, "", "e:\\games", AddResult::kAccepted, "e:\\games\\"},
    {"drive alone: backslash is third", 0, Kind::kDirectory, "", "e:", AddResult::kAccepted, "e:\\"},
    {"one letter directory", 0, Kind::kDirectory, "", "e", AddResult::kAccepted, "e\\"},
    {"empty directory path", 0, Kind::kDirectory, "", "", AddResult::kAccepted, "\\"},
    {"slash is not a backslash", 0, Kind::kDirectory, "", "e:\\games/", AddResult::kAccepted, "e:\\games/\\"},
    {"directory colon at 2", 0, Kind::kDirectory, "", "hd:\\apps\\", AddResult::kRejected, ""},
    {"colon at 2 once backslash added", 0, Kind::kDirectory, "", "ab:", AddResult::kRejected, ""},
    {"backslash at 2 is fine", 0, Kind::kDirectory, "", "ab", AddResult::kAccepted, "ab\\"},
    {"title path unchanged", 0, Kind::kTitle, "Racer", "e:\\testdrive\\default.xbe", AddResult::kAccepted, "e:\\testdrive\\default.xbe"},
    {"title folder gets no backslash", 0, Kind::kTitle, "Racer", "e:\\games/", AddResult::kAccepted, "e:\\games/"},
    {"title colon at 2", 0, Kind::kTitle, "Racer", "hd:\\x.xbe", AddResult::kRejected, ""},
    {"title short path never rejected", 0, Kind::kTitle, "Racer", "e:", AddResult::kAccepted, "e:"},
    {"title empty path", 0, Kind::kTitle, "", "", AddResult::kAccepted, ""},
    {"autoadd is an ordinary name", 0, Kind::kTitle, "autoadd", "e:\\g", AddResult::kAccepted, "e:\\g"},
    {"zero byte ends the path", 0, Kind::kTitle, "Racer", std::string("e:\\a\0:b", 6), AddResult::kAccepted, "e:\\a"},
    {"zero byte ends a long path", 0, Kind::kTitle, "Racer", "ab" + std::string(1, '\0') + k255, AddResult::kAccepted, "ab"},
    {"longest title path", 0, Kind::kTitle, "Racer", k254, AddResult::kAccepted, k254},
    {"title path too long", 0, Kind::kTitle, "Racer", k255, AddResult::kTooLong, ""},
    {"longest name", 0, Kind::kTitle, k254, "e:\\a", AddResult::kAccepted, "e:\\a"},
    {"name too long", 0, Kind::kTitle, k255, "e:\\a", AddResult::kTooLong, ""},
    {"directory fits with its backslash", 0, Kind::kDirectory, "", k253, AddResult::kAccepted, k253 + "\\"},
    {"directory too long with backslash", 0, Kind::kDirectory, "", k254, AddResult::kTooLong, ""},
    {"longest directory ending in backslash", 0, Kind::kDirectory, "", k253 + "\\", AddResult::kAccepted, k253 + "\\"},
    {"too long outranks the path rule", 0, Kind::kTitle, "Racer", "hd:" + k254, AddResult::kTooLong, ""},
    {"last free place", kMaxEntries - 1, Kind::kTitle, "Racer", "e:\\r", AddResult::kAccepted, "e:\\r"},
    {"full list", kMaxEntries, Kind::kTitle, "Racer", "e:\\r", AddResult::kListFull, ""},
    {"full list outranks the path rule", kMaxEntries, Kind::kDirectory, "", "hd:\\", AddResult::kListFull, ""},
    {"name holding == refused", 0, Kind::kTitle, "x==", k254, AddResult::kBadName, ""},
    {"name ending in = refused", 0, Kind::kTitle, "a=", "=b", AddResult::kBadName, ""},
    {"name that is only =", 0, Kind::kTitle, "=", "e:\\a", AddResult::kBadName, ""},
    {"== inside a name", 0, Kind::kTitle, "a==b", "e:\\a", AddResult::kBadName, ""},
    {"single = inside or first is fine", 0, Kind::kTitle, "=a=b", "=e", AddResult::kAccepted, "=e"},
    {"name rule before the path rule", 0, Kind::kTitle, "a=", "hd:\\a", AddResult::kBadName, ""},
    {"name rule after the zero byte", 0, Kind::kTitle, std::string("a\0=", 3), "e", AddResult::kAccepted, "e"},
    {"kept colon at 2", 0, Kind::kKept, "hd", "hd:\\apps\\", AddResult::kAccepted, "hd:\\apps\\"},
    {"kept folder gets no backslash", 0, Kind::kKept, "autoadd", "e:\\games", AddResult::kAccepted, "e:\\games"},
    {"kept spaces and empty name", 0, Kind::kKept, "", "e:\\my games\\ x", AddResult::kAccepted, "e:\\my games\\ x"},
    {"longest kept texts", 0, Kind::kKept, k254, k254, AddResult::kAccepted, k254},
    {"kept path too long", 0, Kind::kKept, "Racer", k255, AddResult::kTooLong, ""},
    {"kept into a full list", kMaxEntries, Kind::kKept, "Racer", "e:\\r", AddResult::kListFull, ""},
};

std::vector<std::string> describeEntries(const EntryList& list) {
  std::vector<std::string> lines;
  for (int i = 0; i < count(list); ++i)
    lines.push_back(std::string(entry(list, i).name) + "==" + std::string(entry(list, i).path));
  return lines;
}

AddResult add(EntryList& list, Kind kind, const std::string& name, const std::string& path) {
  switch (kind) {
    case Kind::kDirectory: return addDirectoryEntry(list, path);
    case Kind::kTitle: return addTitleEntry(list, name, path);
    case Kind::kKept: return keepEntry(list, name, path);
  }
  return AddResult::kRejected;
}

TEST(EntryList, AddingFollowsTheRules) {
  for (const AddCase& c : kAddCases) {
    SCOPED_TRACE(c.what);
    const auto list = std::make_unique<EntryList>();
    for (int i = 0; i < c.already_stored; ++i)
      ASSERT_EQ(addTitleEntry(*list, "T" + std::to_string(i), "e:\\t"), AddResult::kAccepted);
    const std::vector<std::string> before = describeEntries(*list);

    EXPECT_EQ(add(*list, c.kind, c.name, c.path), c.result);

    std::vector<std::string> expected = before;
    if (c.result == AddResult::kAccepted) {
      const std::string name = c.kind == Kind::kDirectory ? "autoadd" : c.name.substr(0, c.name.find('\0'));
      expected.push_back(name + "==" + c.stored_path);
    }
    EXPECT_EQ(describeEntries(*list), expected);
  }
}

TEST(EntryList, RefusedAdditionLeavesItsSlotToTheNext) {
  const auto list = std::make_unique<EntryList>();
  EXPECT_EQ(addTitleEntry(*list, "Bad", "hd:\\a\\long\\path.xbe"), AddResult::kRejected);
  EXPECT_EQ(addTitleEntry(*list, "Short", "e"), AddResult::kAccepted);
  EXPECT_EQ(addDirectoryEntry(*list, "hd:\\apps"), AddResult::kRejected);
  EXPECT_EQ(addDirectoryEntry(*list, "f"), AddResult::kAccepted);
  EXPECT_EQ(describeEntries(*list), (std::vector<std::string>{"Short==e", "autoadd==f\\"}));
}

// Removing entry `index` from a list of `before`: whether it was removed,
// and what the list holds then.
struct RemoveCase {
  std::vector<std::string> before;  // names; every path is "p" + name
  int index;
  bool removed;
  std::vector<std::string> after;
};

const RemoveCase kRemoveCases[] = {
    {{"A", "B", "C"}, 0, true, {"B", "C"}},
    {{"A", "B", "C"}, 1, true, {"A", "C"}},
    {{"A", "B", "C"}, 2, true, {"A", "B"}},
    {{"A"}, 0, true, {}},
    {{"A", "B"}, 2, false, {"A", "B"}},
    {{"A", "B"}, -1, false, {"A", "B"}},
    {{}, 0, false, {}},
};

TEST(EntryList, RemovingMovesTheRestUp) {
  for (const RemoveCase& c : kRemoveCases) {
    SCOPED_TRACE(testing::Message() << c.before.size() << " entries, removing " << c.index);
    const auto list = std::make_unique<EntryList>();
    for (const std::string& name : c.before) ASSERT_EQ(addTitleEntry(*list, name, "p" + name), AddResult::kAccepted);
    EXPECT_EQ(removeEntry(*list, c.index), c.removed);
    std::vector<std::string> expected;
    for (const std::string& name : c.after) expected.push_back(name + "==p" + name);
    EXPECT_EQ(describeEntries(*list), expected);
  }
  // A full list that lost one takes one more, in the freed place at the end.
  const auto list = std::make_unique<EntryList>();
  for (int i = 0; i < kMaxEntries; ++i) addTitleEntry(*list, "T", "e");
  ASSERT_TRUE(removeEntry(*list, 0));
  EXPECT_EQ(addTitleEntry(*list, "Last", "e:\\l"), AddResult::kAccepted);
  EXPECT_EQ(entry(*list, kMaxEntries - 1).name, "Last");
}

TEST(EntryList, ProgramListsStartEmpty) {
  EXPECT_EQ(count(gameList), 0);
  EXPECT_EQ(count(appList), 0);
}

// What is doubtful about the last entry of a list, each doubt given by a
// piece of its words ("#1": the same as entry 1). Kept entries, so that every
// byte stands as given; "autoadd" makes a folder entry.
struct DoubtCase {
  const char* what;
  std::vector<std::pair<std::string, std::string>> entries;
  std::vector<std::string> doubts;
};

const std::string k42(42, 'n');

const DoubtCase kDoubtCases[] = {
    {"a program", {{"Halo", "e:\\games\\halo\\default.xbe"}}, {}},
    {".XBE in any case", {{"Halo", "F:\\Games\\Halo\\DEFAULT.XBE"}}, {}},
    {"a one-word path", {{"Project", "Gotham"}}, {"not a path on the console", "ends in its .xbe file"}},
    {"a program path that is a folder", {{"Halo", "e:\\games\\halo\\"}}, {"ends in its .xbe file"}},
    {"a program at the drive alone", {{"Halo", "e:\\"}}, {"ends in its .xbe file"}},
    {"a folder at the drive alone", {{"autoadd", "e:\\"}}, {}},
    {"forward slashes", {{"Outrun", "E:/Games/outrun/default.xbe"}}, {"forward slashes; the console's paths use backslashes"}},
    {"a drive the console lacks", {{"Halo", "q:\\games\\halo\\default.xbe"}}, {"no drive q:; it has c (system)"}},
    {"two backslashes", {{"Halo", "e:\\games\\\\halo\\default.xbe"}}, {"two backslashes in a row"}},
    {"a 42-character name", {{"N", "e:\\" + k42 + "\\default.xbe"}}, {}},
    {"a 43-character name", {{"N", "e:\\" + k42 + "n\\default.xbe"}}, {"42 characters: '" + k42 + "n'"}},
    {"marks the file system lacks", {{"K", "e:\\games\\Star*Wars: KOTOR?\\default.xbe"}},
     {"'Star*Wars: KOTOR?' holds a character"}},
    {"every mark it takes", {{"M", "e:\\!#$%&'()-.@[]^_`{}~ 9\\default.xbe"}}, {}},
    {"a space at a name's end", {{"Halo", "e:\\games\\halo \\default.xbe"}}, {"a space at the start or end of 'halo '"}},
    {"a folder entry naming a program", {{"autoadd", "e:\\games\\halo\\default.xbe\\"}}, {"names a program file"}},
    {"spaces around ==", {{"Halo 2 ", " e:\\games\\halo2\\default.xbe"}}, {"spaces around =="}},
    {"bytes above ASCII", {{"Caf\xc3\xa9", "e:\\Caf\xc3\xa9\\default.xbe"}},
     {"'Caf\xc3\xa9' holds a character", "outside printable ASCII"}},
    {"the same path in another case", {{"A", "e:\\a\\default.xbe"}, {"B", "E:\\A\\DEFAULT.XBE"}}, {"the same path as #0"}},
    {"the same name", {{"A", "e:\\a\\default.xbe"}, {"A", "e:\\b\\default.xbe"}}, {"the same name as #0"}},
    {"folder entries all named autoadd", {{"autoadd", "e:\\games\\"}, {"autoadd", "f:\\games\\"}}, {}},
};

TEST(EntryChecks, DoubtsFollowTheConsolesRules) {
  for (const DoubtCase& c : kDoubtCases) {
    SCOPED_TRACE(c.what);
    const auto list = std::make_unique<EntryList>();
    for (const auto& [name, path] : c.entries) ASSERT_EQ(keepEntry(*list, name, path), AddResult::kAccepted);
    const Doubts doubts = doubtsAbout(*list, count(*list) - 1);
    std::vector<std::string> said;
    for (int i = 0; i < doubts.count; ++i) {
      const Doubt& d = doubts.doubt[i];
      said.push_back(std::string(d.words) + std::string(d.part) + std::string(d.after) +
                     (d.same_as >= 0 ? "#" + std::to_string(d.same_as) : ""));
    }
    ASSERT_EQ(said.size(), c.doubts.size()) << testing::PrintToString(said);
    for (std::size_t i = 0; i < said.size(); ++i) EXPECT_NE(said[i].find(c.doubts[i]), std::string::npos) << said[i];
  }
}

// What a default.xbe's first bytes say of its title.
struct TitleCase {
  const char* what;
  std::string bytes;
  XbeKind kind;
  std::string title;
  char16_t unshown = 0;
};

const TitleCase kTitleCases[] = {
    {"a title", xbeFile(u"Halo 2"), XbeKind::kTitled, "Halo 2"},
    {"forty characters, no end", xbeFile(std::u16string(40, u'T') + u"X"), XbeKind::kTitled, std::string(40, 'T')},
    {"a character the menu cannot show", xbeFile(u"Caf\u00e9"), XbeKind::kUnshownTitle, "Caf\xe9", 0xE9},
    {"an empty title", xbeFile(u""), XbeKind::kNoTitle, ""},
    {"no XBEH", xbeFile(u"Halo", 0x10178, 0x1000, "MZ\x90\0"), XbeKind::kNotAProgram, ""},
    {"shorter than the header", xbeFile(u"Halo").substr(0, 0x100), XbeKind::kNotAProgram, ""},
    {"a certificate past the end", xbeFile(u"Halo", 0x30000), XbeKind::kCertificateOutside, ""},
    {"a certificate below the base", xbeFile(u"Halo", 0x10178).replace(0x118, 4, std::string("\x10\0\0\0", 4)),
     XbeKind::kCertificateOutside, ""},
};

TEST(ProgramScan, TitlesAsTheHeaderHasThem) {
  for (const TitleCase& c : kTitleCases) {
    SCOPED_TRACE(c.what);
    const XbeTitle read = readXbeTitle(c.bytes);
    EXPECT_EQ(read.kind, c.kind);
    EXPECT_EQ(read.title, c.title);
    EXPECT_EQ(read.unshown, c.unshown);
  }
}

}  // namespace
