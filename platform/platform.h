// Everything that differs between Windows and POSIX systems: path notation,
// the console's line end, byte-mode console streams, raw descriptor I/O and
// how a file is replaced. The rest of the program is written once for both.
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

// The line end of text written to the console. Menu files always use CR LF
// whatever the platform; this is only for standard output and error.
#ifdef _WIN32
inline constexpr std::string_view kConsoleLineEnd = "\r\n";
#else
inline constexpr std::string_view kConsoleLineEnd = "\n";
#endif

// An option that means --help on this platform alone, or empty: Windows users
// type /? for help.
#ifdef _WIN32
inline constexpr std::string_view kPlatformHelpOption = "/?";
#else
inline constexpr std::string_view kPlatformHelpOption = "";
#endif

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

// Reads at most `size` bytes from descriptor `fd`, waiting until at least one
// is available, also on a descriptor in non-blocking mode. Returns how many
// were read; 0 means the input has ended (a read error counts as the end,
// since nothing more can be had from it).
std::size_t readBytes(int fd, char* buffer, std::size_t size);

// Writes all `size` bytes to descriptor `fd`, waiting while it cannot take
// more. Returns false if any could not be written.
bool writeBytes(int fd, const char* data, std::size_t size);

// Opens `path` for reading if it is an ordinary file or a device (a folder,
// a FIFO or a socket is refused), without ever waiting. Returns a descriptor
// for readFileBytes and closeFile, or -1.
int openReadableFile(const char* path);

// Reads at most `size` bytes from a descriptor of openReadableFile. Returns
// how many, 0 at the end, or -1 on an error (a device that has nothing to give
// at once is one: it is never waited for).
long readFileBytes(int fd, char* buffer, std::size_t size);

void closeFile(int fd);

// Makes `contents` the whole of the file at `path`. Returns 0, or the
// system's error number (errno, or GetLastError on Windows) saying why not.
// An ordinary file is replaced whole: the new contents go to a temporary file
// beside it, which takes the old one's properties and its place, so a failure
// leaves the old file as it was. A symbolic link is followed and stays a link.
// Where no replacement can take the file's place (several names, a device, a
// bind mount, a folder that takes no new file, properties a new file cannot
// be given), it is written in place, with room for the new contents made
// first so that a full disk leaves the old ones whole; a file that has
// vanished is created. A file marked read-only is never written, and no open
// ever waits for long.
int replaceFileContents(const char* path, std::string_view contents);

// The system's own words for error number `error`, as replaceFileContents
// gives it, without a final period or line end. `buffer` may hold them.
std::string_view describeSystemError(int error, char (&buffer)[256]);

#endif  // HALVANE_PLATFORM_PLATFORM_H_
