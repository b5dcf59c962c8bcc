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

// A line is split at its first "==", so a name holding "==", or ending in '='
// (whose last '=' would begin the separator), would come back as another
// name and path.
bool isSplittableName(std::string_view name) {
  return name.find("==") == std::string_view::npos && (name.empty() || name.back() != '=');
}

// Copies `text` into `slot` and ends it with a zero byte; returns the next
// byte of the slot.
char* storeText(char* slot, std::string_view text) {
  slot += text.copy(slot, text.size());
  *slot = '\0';
  return slot;
}

// Every addition ends here. The limits are checked before anything is written,
// then, for a typed entry, the name rule and the path rule, the latter judged
// on the path as it would be stored (suffix included). The entry is composed
// in the free slot past the end, which only the count makes part of the list,
// so a refused addition leaves the list exactly as it was.
AddResult addEntry(EntryList& list, std::string_view name, std::string_view path,
                   std::string_view suffix, bool typed) {
  if (list.count >= kMaxEntries) return AddResult::kListFull;
  if (!fitsSlot(name) || path.size() + suffix.size() > kMaxTextLength)
    return AddResult::kTooLong;
  if (typed && !isSplittableName(name)) return AddResult::kBadName;

  char* const stored_path = list.paths[list.count];
  storeText(storeText(stored_path, path), suffix);
  if (typed && isRejectedPath({stored_path, path.size() + suffix.size()}))
    return AddResult::kRejected;
  storeText(list.names[list.count], name);
  ++list.count;
  return AddResult::kAccepted;
}

}  // namespace

AddResult addDirectoryEntry(EntryList& list, std::string_view path) {
  path = upToZero(path);
  const bool ends_in_backslash = !path.empty() && path.back() == '\\';
  return addEntry(list, kDirectoryEntryName, path, ends_in_backslash ? "" : "\\", true);
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
  for (int next = i + 1; next < list.count; ++next) {
    std::copy(list.names[next], list.names[next] + kFieldSize, list.names[next - 1]);
    std::copy(list.paths[next], list.paths[next] + kFieldSize, list.paths[next - 1]);
  }
  --list.count;
  return true;
}

bool isRejectedPath(std::string_view path) {
  return path.size() > 2 && path[2] == ':';
}

int count(const EntryList& list) { return list.count; }

MenuEntry entry(const EntryList& list, int i) {
  return {list.names[i], list.paths[i]};
}
