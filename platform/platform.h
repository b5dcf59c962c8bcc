// Everything that differs between Windows and POSIX systems: path notation,
// the console's line end, byte-mode console streams and raw descriptor I/O.
// The rest of the program is written once for both.
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

// The line end of text written to standard output. Menu files always use CR LF
// whatever the platform; this is only for the console.
#ifdef _WIN32
inline constexpr std::string_view kConsoleLineEnd = "\r\n";
#else
inline constexpr std::string_view kConsoleLineEnd = "\n";
#endif

inline constexpr int kStandardInput = 0;
inline constexpr int kStandardOutput = 1;

// Makes standard input and output carry bytes untranslated, and turns a closed
// output pipe into an ordinary write error instead of a fatal signal.
void prepareConsoleStreams();

// Reads at most `size` bytes from descriptor `fd`, waiting until at least one
// is available. Returns how many were read; 0 means the input has ended (a
// read error counts as the end, since nothing more can be had from it).
std::size_t readBytes(int fd, char* buffer, std::size_t size);

// Writes all `size` bytes to descriptor `fd`. Returns false if any could not be
// written.
bool writeBytes(int fd, const char* data, std::size_t size);

// True when `path` can be opened for reading and is not a folder.
bool isReadableFile(const char* path);

#endif  // HALVANE_PLATFORM_PLATFORM_H_
