// A Windows program for the tests, run under Wine beside the program:
//   hold-file PATH MS      opens PATH without sharing, says "held" on
//                          standard output, and keeps it open MS milliseconds,
//                          as a virus scanner or a sync client does
//   hold-file --hide PATH  gives PATH the hidden attribute
//   hold-file --hidden PATH  exits 0 if PATH is hidden, 1 if not
// Exits 2 when it cannot do what it was asked.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

int main(int argc, char* argv[]) {
  if (argc != 3) return 2;
  if (std::strcmp(argv[1], "--hide") == 0) {
    const DWORD attributes = GetFileAttributesA(argv[2]);
    return attributes != INVALID_FILE_ATTRIBUTES &&
                   SetFileAttributesA(argv[2], attributes | FILE_ATTRIBUTE_HIDDEN)
               ? 0
               : 2;
  }
  if (std::strcmp(argv[1], "--hidden") == 0) {
    const DWORD attributes = GetFileAttributesA(argv[2]);
    if (attributes == INVALID_FILE_ATTRIBUTES) return 2;
    return (attributes & FILE_ATTRIBUTE_HIDDEN) != 0 ? 0 : 1;
  }
  const HANDLE file = CreateFileA(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 2;
  std::puts("held");
  std::fflush(stdout);
  Sleep(static_cast<DWORD>(std::atoi(argv[2])));
  CloseHandle(file);
  return 0;
}
