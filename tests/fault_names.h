// What the fault libraries of both systems share: how a fault is written and
// how a call is named by what it is done to. A fault reads
//   CALL WHAT [N | every] [after CALL WHAT] ACTION
// for example "fsync apps.ini's copy EIO" or "WriteFile apps.ini 2 kill":
// the N-th call (the first if N is left out, each one for "every", as a
// file another program holds fails each open) of CALL on WHAT, counted from
// the first call of the CALL WHAT after "after" where one is named (so
// "openat ini/ after renameat apps.ini's copy EIO" is the folder's first
// open once the new menu has taken its place), and what happens there: an error by its name, "kill", "short" (a write that takes
// half) or "run" (a shell command runs first). WHAT is what a fault names:
//   games.ini, apps.ini        the menu file itself, by any name it is opened
//   apps.ini's copy            the new menu written beside it
//   apps.ini's backup          the old menu kept beside it, before and after
//                              it takes its name
//   ini/                       a folder opened as one, by its own name
//   console                    standard input, output and error
// and anything else by its last name ("passwd").
#ifndef HALVANE_TESTS_FAULT_NAMES_H_
#define HALVANE_TESTS_FAULT_NAMES_H_

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

inline constexpr std::size_t kWhatSize = 96;

enum class Action { kNone, kFail, kKill, kShort, kRun };

struct Fault {
  char call[32] = "";
  char what[kWhatSize] = "";
  long when = 1;
  Action action = Action::kNone;
  unsigned long error = 0;
  long calls = 0;
  char after_call[32] = "";  // counted only once a call of this on `after_what` was made
  char after_what[kWhatSize] = "";
  bool armed = true;
};

struct Faults {
  Fault list[4];
  int count = 0;
  int struck = 0;  // how often one of them struck
  // How often each call on each thing has been made and taken by no fault.
  struct Untaken {
    char key[kWhatSize + 32];
    long calls;
  } untaken[512];
  int untaken_count = 0;
};

// The faults `text` holds, separated by commas; `errorNumber` gives an
// error's number by its name, or 0 for none such.
template <typename ErrorNumber>
Faults parseFaults(const char* text, ErrorNumber errorNumber) {
  Faults all;
  for (; text != nullptr && *text != '\0' && all.count < 4; text = std::strchr(text, ',')) {
    if (*text == ',') ++text;
    const char* const end = std::strchr(text, ',') != nullptr ? std::strchr(text, ',') : text + std::strlen(text);
    const char* const call_end = static_cast<const char*>(std::memchr(text, ' ', static_cast<std::size_t>(end - text)));
    const char* action = end;
    while (action > text && action[-1] != ' ') --action;
    if (call_end == nullptr || action <= call_end + 1) continue;
    Fault& f = all.list[all.count++];
    std::snprintf(f.call, sizeof f.call, "%.*s", static_cast<int>(call_end - text), text);
    const char* what_end = action - 1;
    const char* const after = std::strstr(call_end, " after ");
    if (after != nullptr && after < what_end) {
      const char* const after_call = after + 7;
      const char* const after_call_end = std::strchr(after_call, ' ');
      if (after_call_end != nullptr && after_call_end < what_end) {
        std::snprintf(f.after_call, sizeof f.after_call, "%.*s", static_cast<int>(after_call_end - after_call), after_call);
        std::snprintf(f.after_what, sizeof f.after_what, "%.*s", static_cast<int>(what_end - after_call_end - 1),
                      after_call_end + 1);
        f.armed = false;
      }
      what_end = after;
    }
    const char* number = what_end;
    while (number > call_end + 1 && std::isdigit(static_cast<unsigned char>(number[-1]))) --number;
    if (what_end - call_end > 6 && std::strncmp(what_end - 6, " every", 6) == 0) {
      f.when = 0;
      what_end -= 6;
    } else if (number < what_end && number[-1] == ' ' && number - 1 > call_end + 1) {
      f.when = std::strtol(number, nullptr, 10);
      what_end = number - 1;
    }
    std::snprintf(f.what, sizeof f.what, "%.*s", static_cast<int>(what_end - call_end - 1), call_end + 1);
    char name[32];
    std::snprintf(name, sizeof name, "%.*s", static_cast<int>(end - action), action);
    f.action = std::strcmp(name, "kill") == 0    ? Action::kKill
               : std::strcmp(name, "short") == 0 ? Action::kShort
               : std::strcmp(name, "run") == 0   ? Action::kRun
               : (f.error = errorNumber(name)) != 0 ? Action::kFail
                                                    : Action::kNone;
  }
  return all;
}

// The faults in force: those HVN_FAULT names now, parsed again whenever it
// changes, so that a test in the same process can switch a fault on just
// before the call it is about (tests/file_writer_test.cpp).
template <typename ErrorNumber>
Faults& faultsInForce(ErrorNumber errorNumber) {
  static Faults all;
  static char text[512] = "";
  const char* const now = std::getenv("HVN_FAULT") != nullptr ? std::getenv("HVN_FAULT") : "";
  if (std::strcmp(now, text) != 0) {
    std::snprintf(text, sizeof text, "%s", now);
    all = parseFaults(text, errorNumber);
  }
  return all;
}

// How often the faults in force have struck, for a test in the same process.
extern "C" int hvnFaultsStruck();

// The fault that takes this call of `call` on `what`, if any: the faults on
// the same call and thing count its calls in turn.
inline Fault* dueFault(Faults& all, const char* call, const char* what) {
  for (int i = 0; i < all.count; ++i) {
    Fault& f = all.list[i];
    if (!f.armed && std::strcmp(call, f.after_call) == 0 && std::strcmp(what, f.after_what) == 0) f.armed = true;
  }
  for (int i = 0; i < all.count; ++i) {
    Fault& f = all.list[i];
    if (f.armed && f.action != Action::kNone && std::strcmp(call, f.call) == 0 && std::strcmp(what, f.what) == 0 &&
        (f.when == 0 || ++f.calls == f.when)) {
      ++all.struck;
      return &f;
    }
  }
  return nullptr;
}

// Counts a call of `call` on `what` that no fault took; returns how many
// there have been, which is the N a fault added after the others names it by.
inline long countUntaken(Faults& all, const char* call, const char* what) {
  char key[sizeof Faults::Untaken::key];
  std::snprintf(key, sizeof key, "%s %s", call, what);
  for (int i = 0; i < all.untaken_count; ++i)
    if (std::strcmp(all.untaken[i].key, key) == 0) return ++all.untaken[i].calls;
  if (all.untaken_count == 512) return 0;
  Faults::Untaken& added = all.untaken[all.untaken_count++];
  std::strcpy(added.key, key);
  return added.calls = 1;
}

// Names what `path` leads to, by its last name: "apps.ini's copy" for a
// temporary file named after a menu ("apps.ini.k3F9xQ"), "apps.ini's backup"
// for the backup and its temporary file ("apps.ini.bak.k3F9xQ"), the name
// and "/" for a folder.
inline void nameWhat(const char* path, bool folder, char (&what)[kWhatSize]) {
  const char* name = path;
  for (const char* at = path; *at != '\0'; ++at)
    if ((*at == '/' || *at == '\\') && at[1] != '\0') name = at + 1;
  std::size_t size = std::strlen(name);
  while (size > 1 && (name[size - 1] == '/' || name[size - 1] == '\\')) --size;
  const char* const ini = std::strstr(name, ".ini.");
  if (ini != nullptr && !folder) {
    const int stem = static_cast<int>(ini + 4 - name);
    const bool backup = std::strncmp(ini + 4, ".bak", 4) == 0 && (ini[8] == '\0' || ini[8] == '.');
    std::snprintf(what, kWhatSize, "%.*s's %s", stem, name, backup ? "backup" : "copy");
    return;
  }
  const bool slash = folder && name[size - 1] != '/';
  std::snprintf(what, kWhatSize, "%.*s%s", static_cast<int>(size), name, slash ? "/" : "");
}

#endif  // HALVANE_TESTS_FAULT_NAMES_H_
