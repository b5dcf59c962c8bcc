#include "catalogue/entry_checks.h"

#include <algorithm>

#include "platform/platform.h"

namespace {

// The console's drives: c system, d the disc, e data, f and g the space a
// larger disk adds, x y z the games' caches.
constexpr std::string_view kDrives = "cdefgxyz";
// Longest folder or file name the console's file system holds.
constexpr std::size_t kMaxNameLength = 42;
// What its names may hold beside letters, digits and space.
constexpr std::string_view kMarks = "!#$%&'()-.@[]^_`{}~";

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
bool isLetter(char c) { return lower(c) >= 'a' && lower(c) <= 'z'; }
bool isSeparator(char c) { return c == '\\' || c == '/'; }
bool isSpace(char c) { return c == ' ' || c == '\t'; }
bool spacedAtAnEnd(std::string_view text) { return !text.empty() && (isSpace(text.front()) || isSpace(text.back())); }

bool sameText(std::string_view a, std::string_view b, bool any_case) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return any_case ? lower(x) == lower(y) : x == y; });
}

bool takenInNames(char c) {
  return isLetter(c) || (c >= '0' && c <= '9') || c == ' ' || kMarks.find(c) != std::string_view::npos;
}

bool endsInXbe(std::string_view name) { return name.size() >= 4 && sameText(slice(name, name.size() - 4), ".xbe", true); }

// The entry being judged, and its path taken apart.
struct Judged {
  const EntryList& list;
  int index;
  MenuEntry entry;
  bool directory;
  bool on_a_drive;         // a letter and a colon first
  std::string_view names;  // the path after its drive: names and separators
};

// The folder and file names of the path, in order, the last one empty when
// the path ends in a separator.
template <typename Each>
bool anyName(const Judged& j, Each each) {
  std::string_view rest = j.names;
  if (!rest.empty() && isSeparator(rest.front())) rest.remove_prefix(1);
  for (;;) {
    const std::size_t end = std::find_if(rest.begin(), rest.end(), isSeparator) - rest.begin();
    if (each(slice(rest, 0, end), end == rest.size())) return true;
    if (end == rest.size()) return false;
    rest.remove_prefix(end + 1);
  }
}

// The last folder or file name the path holds.
std::string_view lastName(const Judged& j) {
  std::string_view last;
  anyName(j, [&](std::string_view name, bool) {
    if (!name.empty()) last = name;
    return false;
  });
  return last;
}

// The first other entry of the list whose name or path is the same.
int sameAs(const Judged& j, bool by_path) {
  for (int k = 0; k < count(j.list); ++k) {
    if (k == j.index) continue;
    const MenuEntry other = entry(j.list, k);
    if (by_path ? sameText(other.path, j.entry.path, true)
                : !isDirectoryEntry(j.list, k) && sameText(other.name, j.entry.name, false))
      return k;
  }
  return -1;
}

// Finds a name of the path for which `bad` holds, as the doubt's part.
template <typename Bad>
bool nameWhere(const Judged& j, Doubt& doubt, Bad bad) {
  return anyName(j, [&](std::string_view name, bool) {
    if (!bad(name)) return false;
    doubt.part = name;
    return true;
  });
}

struct Rule {
  std::string_view words;
  std::string_view after;
  bool (*finds)(const Judged&, Doubt&);
};

const Rule kRules[] = {
    {"not a path on the console, whose paths start with a drive and a backslash, such as e:\\", {},
     [](const Judged& j, Doubt&) {
       const std::string_view path = j.entry.path;
       return !(j.on_a_drive && path.size() > 2 && isSeparator(path[2]));
     }},
    {"the console has no drive ", "; it has c (system), d (disc), e (data), f and g (added space), x, y and z (caches)",
     [](const Judged& j, Doubt& doubt) {
       if (!j.on_a_drive || kDrives.find(lower(j.entry.path[0])) != std::string_view::npos) return false;
       doubt.part = slice(j.entry.path, 0, 2);
       return true;
     }},
    {"forward slashes; the console's paths use backslashes", {},
     [](const Judged& j, Doubt&) { return j.entry.path.find('/') != std::string_view::npos; }},
    {"two backslashes in a row; one stands between two names", {},
     [](const Judged& j, Doubt&) { return j.entry.path.find("\\\\") != std::string_view::npos; }},
    {"a space at the start or end of '", "'",
     [](const Judged& j, Doubt& doubt) { return nameWhere(j, doubt, spacedAtAnEnd); }},
    {"a name longer than the console's 42 characters: '", "'",
     [](const Judged& j, Doubt& doubt) {
       return nameWhere(j, doubt, [](std::string_view name) { return name.size() > kMaxNameLength; });
     }},
    {"'", "' holds a character the console's file names cannot; they take letters, digits, space and "
          "! # $ % & ' ( ) - . @ [ ] ^ _ { } ~ `",
     [](const Judged& j, Doubt& doubt) {
       return nameWhere(j, doubt, [](std::string_view name) { return !std::all_of(name.begin(), name.end(), takenInNames); });
     }},
    {"a program's path ends in its .xbe file, such as default.xbe", {},
     [](const Judged& j, Doubt&) {
       bool xbe = false;
       anyName(j, [&](std::string_view name, bool last) { return last && (xbe = endsInXbe(name)); });
       return !j.directory && !xbe;
     }},
    {"a folder entry that names a program file; give the folder that holds the programs' folders", {},
     [](const Judged& j, Doubt&) { return j.directory && endsInXbe(lastName(j)); }},
    {"spaces around == belong to the name and the path; the line reads name==path", {},
     [](const Judged& j, Doubt&) {
       const MenuEntry as_kept = entry(j.list, j.index);
       return spacedAtAnEnd(as_kept.name) || spacedAtAnEnd(as_kept.path);
     }},
    {"the name holds characters outside printable ASCII, which the console may not show as typed", {},
     [](const Judged& j, Doubt&) {
       return std::any_of(j.entry.name.begin(), j.entry.name.end(), [](char c) { return c < ' ' || c > '~'; });
     }},
    {"the same path as ", {},
     [](const Judged& j, Doubt& doubt) { return (doubt.same_as = sameAs(j, true)) >= 0; }},
    {"the same name as ", {},
     [](const Judged& j, Doubt& doubt) { return !j.directory && (doubt.same_as = sameAs(j, false)) >= 0; }},
};
static_assert(sizeof kRules / sizeof kRules[0] == kMaxDoubts, "one doubt per rule");

}  // namespace

Doubts doubtsAbout(const EntryList& list, int i) {
  const MenuEntry line = entry(list, i);
  // The path's own rules judge it without the spaces a "name == path" line
  // puts around it, which have a rule of their own.
  std::string_view path = line.path;
  while (!path.empty() && isSpace(path.front())) path.remove_prefix(1);
  while (!path.empty() && isSpace(path.back())) path.remove_suffix(1);
  const bool on_a_drive = path.size() >= 2 && isLetter(path[0]) && path[1] == ':';
  const Judged judged{list, i, {line.name, path}, isDirectoryEntry(list, i), on_a_drive, slice(path, on_a_drive ? 2 : 0)};
  Doubts doubts;
  for (const Rule& rule : kRules) {
    Doubt doubt{rule.words, {}, rule.after};
    if (rule.finds(judged, doubt)) doubts.doubt[doubts.count++] = doubt;
  }
  return doubts;
}

int doubtfulEntries(const EntryList& list) {
  int doubtful = 0;
  for (int i = 0; i < count(list); ++i) doubtful += doubtsAbout(list, i).count > 0 ? 1 : 0;
  return doubtful;
}
