#include "catalogue/entry_list.h"

#include <algorithm>

EntryList gameList;
EntryList appList;

namespace {

constexpr std::string_view kDirectoryEntryName = "autoadd";

// Input may carry a zero byte; as stored text it would end there anyway, so
// everything after it is dropped before lengths are judged.
std::string_view upToZero(std::string_view text) {
  return text.substr(0, text.find('\0'));
}

bool fitsSlot(std::string_view text) { return text.size() <= kMaxTextLength; }

// A line is split at its first "==", so a name holding "==", or ending in
// '=' (whose last '=' would begin the separator), would come back as another
// name and path.
bool isSplittableName(std::string_view name) {
  return name.find("==") == std::string_view::npos && (name.empty() || name.back() != '=');
}

// A file that starts with a byte-order mark is read as text of that
// encoding, so a name starting with one would not come back as itself.
bool startsWithByteOrderMark(std::string_view name) {
  for (const std::string_view mark : {"\xEF\xBB\xBF", "\xFF\xFE", "\xFE\xFF"})
    if (name.substr(0, mark.size()) == mark) return true;
  return false;
}

// Copies `text` into `slot` and ends it with a zero byte; returns the next
// byte of the slot.
char* storeText(char* slot, std::string_view text) {
  slot += text.copy(slot, text.size());
  *slot = '\0';
  return slot;
}

}  // namespace

AddResult judgeName(std::string_view name) {
  name = upToZero(name);
  if (!fitsSlot(name)) return AddResult::kTooLong;
  if (startsWithByteOrderMark(name)) return AddResult::kMarkedName;
  return isSplittableName(name) ? AddResult::kAccepted : AddResult::kBadName;
}

namespace {

// The rules an entry must meet to be stored: the limits and the mark rule,
// then for a typed entry the other name rule and the path rule, the latter judged on the path as
// it would be stored, suffix included.
AddResult judgeEntry(std::string_view name, std::string_view path, std::string_view suffix, bool typed) {
  if (!fitsSlot(name) || path.size() + suffix.size() > kMaxTextLength) return AddResult::kTooLong;
  // Whichever entry comes first, no file is written starting with a mark.
  if (startsWithByteOrderMark(name)) return AddResult::kMarkedName;
  if (!typed) return AddResult::kAccepted;
  if (!isSplittableName(name)) return AddResult::kBadName;
  // The path as it would be stored; the limits above make it fit.
  char stored[kFieldSize];
  const std::size_t size = suffix.copy(stored + path.copy(stored, path.size()), suffix.size()) + path.size();
  return isRejectedPath({stored, size}) ? AddResult::kRejected : AddResult::kAccepted;
}

void storeEntry(EntryList& list, int i, std::string_view name, std::string_view path, std::string_view suffix) {
  storeText(storeText(list.paths[i], path), suffix);
  storeText(list.names[i], name);
}

// Every addition ends here. Nothing is written unless the entry is accepted,
// so a refused addition leaves the list exactly as it was.
AddResult addEntry(EntryList& list, std::string_view name, std::string_view path,
                   std::string_view suffix, bool typed) {
  if (list.count >= kMaxEntries) return AddResult::kListFull;
  const AddResult result = judgeEntry(name, path, suffix, typed);
  if (result != AddResult::kAccepted) return result;
  storeEntry(list, list.count, name, path, suffix);
  ++list.count;
  return AddResult::kAccepted;
}

// The backslash a directory path gets unless it already ends in one.
std::string_view directorySuffix(std::string_view path) {
  return !path.empty() && path.back() == '\\' ? "" : "\\";
}

void copyEntry(EntryList& list, int from, int to) {
  std::copy(list.names[from], list.names[from] + kFieldSize, list.names[to]);
  std::copy(list.paths[from], list.paths[from] + kFieldSize, list.paths[to]);
}

}  // namespace

AddResult addDirectoryEntry(EntryList& list, std::string_view path) {
  path = upToZero(path);
  return addEntry(list, kDirectoryEntryName, path, directorySuffix(path), true);
}

AddResult addTitleEntry(EntryList& list, std::string_view name,
                        std::string_view path) {
  return addEntry(list, upToZero(name), upToZero(path), "", true);
}

AddResult keepEntry(EntryList& list, std::string_view name, std::string_view path) {
  return addEntry(list, name, path, "", false);
}

bool removeEntry(EntryList& list, int i) {
  if (i < 0 || i >= list.count) return false;
  for (int next = i + 1; next < list.count; ++next) copyEntry(list, next, next - 1);
  --list.count;
  return true;
}

// The entry is set aside while those between its old and new place move by
// one; a full list has no free slot to hold it.
bool moveEntry(EntryList& list, int from, int to) {
  if (from < 0 || from >= list.count || to < 0 || to >= list.count) return false;
  char name[kFieldSize], path[kFieldSize];
  std::copy(list.names[from], list.names[from] + kFieldSize, name);
  std::copy(list.paths[from], list.paths[from] + kFieldSize, path);
  for (int i = from; i < to; ++i) copyEntry(list, i + 1, i);
  for (int i = from; i > to; --i) copyEntry(list, i - 1, i);
  std::copy(name, name + kFieldSize, list.names[to]);
  std::copy(path, path + kFieldSize, list.paths[to]);
  return true;
}

void clear(EntryList& list) { list.count = 0; }

bool isDirectoryEntry(const EntryList& list, int i) { return entry(list, i).name == kDirectoryEntryName; }

AddResult changeEntry(EntryList& list, int i, std::string_view name, std::string_view path) {
  path = upToZero(path);
  const bool directory = isDirectoryEntry(list, i);
  if (directory) name = kDirectoryEntryName;
  name = upToZero(name);
  const std::string_view suffix = directory ? directorySuffix(path) : "";
  const AddResult result = judgeEntry(name, path, suffix, true);
  if (result == AddResult::kAccepted) storeEntry(list, i, name, path, suffix);
  return result;
}

bool isRejectedPath(std::string_view path) {
  return path.size() > 2 && path[2] == ':';
}

int count(const EntryList& list) { return list.count; }

MenuEntry entry(const EntryList& list, int i) {
  return {list.names[i], list.paths[i]};
}
