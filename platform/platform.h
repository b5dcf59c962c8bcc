// Everything that differs between Windows and POSIX systems: path notation,
// the console's line end, byte-mode console streams and raw descriptor I/O.
// How a file is replaced differs too, and has file_writer.h of its own. The
// rest of the program is written once for both.
#ifndef HALVANE_PLATFORM_PLATFORM_H_
#define HALVANE_PLATFORM_PLATFORM_H_

#include <cstddef>
#include <string_view>

// Separator between the parts of a relative path, as a string literal so that
// paths can be composed at compile time.
#ifdef _WIN32
#define HVN_PATH_SEPARATOR "\\"
#else
#define HVN_PATH_SEPARATOR "/"
#endif

// What the console is told differently on each platform:
// - kConsoleLineEnd: the line end of standard output and error (menu files
//   always use CR LF);
// - kPlatformHelpOption: an option that means --help here alone, or empty
//   (Windows users type /?);
// - kPlatformHelpNote: what the help adds here: on Windows, the release's own
//   way to edit the menus, and its readme;
// - kEditMenusCommand: how a user starts the program on the menus they have;
// - kReadOnlyMend: what mends a menu file that cannot be replaced, where the
//   system has a usual cause (Windows: the Read-only box of its Properties).
#ifdef _WIN32
inline constexpr std::string_view kConsoleLineEnd = "\r\n";
inline constexpr std::string_view kPlatformHelpOption = "/?";
inline constexpr std::string_view kPlatformHelpNote =
    "Edit menus.cmd and Check menus.cmd, beside the program, edit and check the\n"
    "menus you have (double-click them); README.txt tells the rest.\n";
inline constexpr std::string_view kEditMenusCommand = "start Edit menus.cmd";
inline constexpr std::string_view kReadOnlyMend = "If its Properties say Read-only, untick that box.\n";
#else
inline constexpr std::string_view kConsoleLineEnd = "\n";
inline constexpr std::string_view kPlatformHelpOption = "";
inline constexpr std::string_view kPlatformHelpNote = "";
inline constexpr std::string_view kEditMenusCommand = "start halvane-menu --keep";
inline constexpr std::string_view kReadOnlyMend = "";
#endif

// Bytes `from` to `from + size` of `text`, cut to what it holds: a view made
// by hand, as substr could throw, which would link exception machinery into
// the Windows program.
inline std::string_view slice(std::string_view text, std::size_t from, std::size_t size = std::string_view::npos) {
  from = from < text.size() ? from : text.size();
  return {text.data() + from, size < text.size() - from ? size : text.size() - from};
}

inline constexpr int kStandardInput = 0;
inline constexpr int kStandardOutput = 1;
inline constexpr int kStandardError = 2;

// Makes standard input and output carry bytes untranslated, and turns a closed
// output pipe into an ordinary write error instead of a fatal signal.
void prepareConsoleStreams();

// True when the console window closes the moment the program ends, so that a
// last message would vanish unread: on Windows, when standard input and
// output are a console no other process is attached to (a program started
// from Explorer or a shortcut). False at a console shared with a shell, when
// either stream is not a console, and on every other platform.
bool consoleClosesWithProgram();

// Makes `size` bytes of `text` that the system gave in its own code page fit
// for the console, in place and within `capacity` bytes; returns their new
// size. On Windows the system speaks the ANSI code page while a console
// shows its OEM one, where "Accès refusé" would print as garbage; elsewhere
// nothing changes.
std::size_t systemTextForConsole(char* text, std::size_t size, std::size_t capacity);

// True when descriptor `fd` is a console (a terminal), where a person types.
bool isConsole(int fd);

// The full path of the current folder in `buffer`, or an empty view where it
// cannot be had (a path longer than the buffer).
std::string_view currentFolder(char (&buffer)[1024]);

// The characters typed at a console that its code page cannot hold, as one
// read gave them: where each one's stand-in '?' is among the bytes read, and
// which character it is. Where kMax are listed, more may follow the last.
struct UnheldCharacters {
  static constexpr std::size_t kMax = 64;
  std::size_t at[kMax];
  char32_t character[kMax];
  std::size_t count = 0;
};

// Reads at most `size` bytes from descriptor `fd`, waiting until at least one
// is available, also on a descriptor in non-blocking mode. Returns how many
// were read; 0 means the input has ended (a read error counts as the end,
// since nothing more can be had from it). Given `unheld`, a Windows console
// is read as the characters typed, each given in the console's code page
// (the bytes the system's own byte read gives), and each one the code page
// cannot hold is listed there; everywhere else bytes are read as they come
// and none is listed.
std::size_t readBytes(int fd, char* buffer, std::size_t size, UnheldCharacters* unheld = nullptr);

// Reads one line typed at the console on standard input without showing
// it (a password) into `buffer`, less its line end, and ends the line on the
// screen. Returns its length, or -1 where standard input is no console.
long readHiddenLine(char* buffer, std::size_t size);

// Why output could not be written, if it could not: the system's words, or
// that the reader of a pipe has gone, which is no error to report (they
// wanted no more).
struct OutputFailure {
  bool failed = false;
  bool reader_gone = false;
  const char* words = "";
};

// Writes all `size` bytes to descriptor `fd`, waiting while it cannot take
// more, and says why if any could not be written.
OutputFailure writeBytes(int fd, const char* data, std::size_t size);

// Reads at most `size` bytes from a descriptor of openToRead (file_writer.h). Returns
// how many, 0 at the end, or -1 on an error (a device that has nothing to give
// at once is one: it is never waited for).
long readFileBytes(int fd, char* buffer, std::size_t size);

void closeFile(int fd);

// What stands at `path`, looked at without opening it: nothing, a folder,
// or something else.
enum class PathKind { kNothing, kFolder, kOther };
PathKind pathKind(const char* path);

// Makes the folder at `path` where there is none; true when it is there.
bool makeFolder(const char* path);

// Hands `each` the name of every entry of the folder at `path` but . and
// ..; null, or why the folder could not be listed.
const char* listFolder(const char* path, void (*each)(std::string_view name, void* context), void* context);

// Which file a descriptor is open on: its device (volume) and its number
// there. Two names of one file give the same; a file renamed over another
// gives a new one.
struct FileIdentity {
  unsigned long long device = 0;
  unsigned long long file = 0;
};
bool fileIdentity(int fd, FileIdentity& identity);

#endif  // HALVANE_PLATFORM_PLATFORM_H_
