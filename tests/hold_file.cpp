// A Windows program for the tests, run under Wine beside the program:
//   hold-file PATH MS        opens PATH without sharing, says "held" on
//                            standard output, and keeps it open MS milliseconds,
//                            as a virus scanner or a sync client does
//   hold-file --map PATH MS  the same, but maps PATH into memory instead, as a
//                            viewer or a preview pane does
//   hold-file --hide PATH    gives PATH the hidden attribute
//   hold-file --hidden PATH  exits 0 if PATH is hidden, 1 if not
//   hold-file --protect PATH gives PATH a protected DACL for SYSTEM and the
//                            administrators alone: nobody else may read it
//   hold-file --dacl PATH    prints PATH's DACL in SDDL
// Exits 2 when it cannot do what it was asked.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <sddl.h>

namespace {

int holdFor(const char* milliseconds) {
  std::puts("held");
  std::fflush(stdout);
  Sleep(static_cast<DWORD>(std::atoi(milliseconds)));
  return 0;
}

int mapFor(const char* path, const char* milliseconds) {
  const HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
  const HANDLE mapping = file == INVALID_HANDLE_VALUE ? nullptr
                                                      : CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
  const void* const view = mapping == nullptr ? nullptr : MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
  if (view == nullptr) return 2;
  holdFor(milliseconds);
  UnmapViewOfFile(view);
  CloseHandle(mapping);
  CloseHandle(file);
  return 0;
}

int protect(const char* path) {
  PSECURITY_DESCRIPTOR security = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P(A;;FA;;;SY)(A;;FA;;;BA)", SDDL_REVISION_1,
                                                            &security, nullptr))
    return 2;
  const bool set = SetFileSecurityA(path, DACL_SECURITY_INFORMATION, security);
  LocalFree(security);
  return set ? 0 : 2;
}

int printDacl(const char* path) {
  char buffer[4096];
  DWORD size = 0;
  char* text = nullptr;
  if (!GetFileSecurityA(path, DACL_SECURITY_INFORMATION, buffer, sizeof buffer, &size) ||
      !ConvertSecurityDescriptorToStringSecurityDescriptorA(buffer, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                            &text, nullptr))
    return 2;
  std::puts(text);
  LocalFree(text);
  return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc == 4 && std::strcmp(argv[1], "--map") == 0) return mapFor(argv[2], argv[3]);
  if (argc != 3) return 2;
  if (std::strcmp(argv[1], "--protect") == 0) return protect(argv[2]);
  if (std::strcmp(argv[1], "--dacl") == 0) return printDacl(argv[2]);
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
  holdFor(argv[2]);
  CloseHandle(file);
  return 0;
}
