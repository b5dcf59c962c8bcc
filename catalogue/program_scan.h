// Every program found in a folder of program folders, with its title: the
// console's own (over FTP) or a copy of it here. Each program is a
// default.xbe whose header holds its title, and only the first bytes that
// hold it are read.
#ifndef HALVANE_CATALOGUE_PROGRAM_SCAN_H_
#define HALVANE_CATALOGUE_PROGRAM_SCAN_H_

#include <cstddef>
#include <string_view>

#include "catalogue/entry_list.h"
#include "platform/ftp.h"

// What a default.xbe's header says: its title, where it is one the menu can
// show as it stands (printable ASCII), or why not; an empty title is none.
enum class XbeKind { kTitled, kUnshownTitle, kNotAProgram, kCertificateOutside, kNoTitle };
struct XbeTitle {
  XbeKind kind = XbeKind::kNotAProgram;
  char title[41] = "";      // kTitled
  char16_t unshown = 0;     // kUnshownTitle: the first character the menu cannot show
};

// Bytes of the file's start enough to find where its title is; the title
// then needs bytes up to titleEnd.
inline constexpr std::size_t kXbeHeaderStart = 0x11C;
// How far into the file a title may be looked for.
inline constexpr std::size_t kMaxTitleEnd = 1u << 20;

// Where the title ends in a file that starts with `start` (at least
// kXbeHeaderStart bytes), or 0 where it is no program or its title lies past
// kMaxTitleEnd.
std::size_t titleEnd(std::string_view start);

// The title of a file whose first bytes are `bytes`, read as far as
// titleEnd or to the file's end: a title past them lies outside the file.
XbeTitle readXbeTitle(std::string_view bytes);

// Where programs are looked for: entries of a folder, and a file's first
// bytes, the console's over FTP or a folder's here.
struct ProgramSource {
  FtpConnection* console = nullptr;  // none: a folder here
};

// One program found: the name it would get, the console path, and where its
// folder's name stands in for a title, why.
struct FoundProgram {
  char name[kFieldSize];
  char path[kFieldSize];
  XbeTitle header;
};

// What a scan found: the programs in the order listed, and the folders whose
// default.xbe is no program, with why.
inline constexpr int kMaxFound = kMaxEntries;
struct ScanResult {
  FoundProgram found[kMaxFound];
  int count = 0;
  char skipped[4096] = "";  // "Skipped e:\games\x\default.xbe: not a program: ...\n" each
  bool listed = false;
  char words[kWordsSize] = "";  // where the folder could not be listed, why
};

// Looks in each folder of `folder` (a path of the source's) for its
// default.xbe; `console_folder` is where `folder` is on the console
// ("e:\Games\"). `progress`, if given, is told each folder looked at of how
// many.
void scanForPrograms(const ProgramSource& source, const char* folder, std::string_view console_folder,
                     ScanResult& result, void (*progress)(int done, int of) = nullptr);

#endif  // HALVANE_CATALOGUE_PROGRAM_SCAN_H_
