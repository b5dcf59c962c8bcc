// Linked into a test build of the Windows program only (halvane-menu-faults
// .exe, never the one users get), this makes the system calls the program's
// file code makes go wrong, driven as tests/fault_shim.cpp drives a Linux
// program: HVN_FAULT names the faults ("FlushFileBuffers apps.ini's copy
// ERROR_DISK_FULL", "MoveFileExA games.ini's backup kill", "WriteFile
// apps.ini short"; see tests/fault_names.h), a fault that strikes says so on
// standard error with the system's words for its error, and HVN_FAULT_LIST
// lists every call no fault takes. Before main runs, the entries of the
// program's own import table for these calls are pointed at the wrappers
// here, which works alike under the 32-bit and 64-bit loaders; the C
// runtime's own calls, in its DLL, are left alone. A kill ends the process
// at once with status 137, as SIGKILL ends a Linux one.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <io.h>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "tests/fault_names.h"

namespace {

const struct {
  const char* name;
  DWORD value;
} kErrors[] = {
    {"ERROR_ACCESS_DENIED", ERROR_ACCESS_DENIED},       {"ERROR_SHARING_VIOLATION", ERROR_SHARING_VIOLATION},
    {"ERROR_LOCK_VIOLATION", ERROR_LOCK_VIOLATION},     {"ERROR_DISK_FULL", ERROR_DISK_FULL},
    {"ERROR_HANDLE_DISK_FULL", ERROR_HANDLE_DISK_FULL}, {"ERROR_NETNAME_DELETED", ERROR_NETNAME_DELETED},
    {"ERROR_IO_DEVICE", ERROR_IO_DEVICE},               {"ERROR_NOT_SAME_DEVICE", ERROR_NOT_SAME_DEVICE},
    {"ERROR_PATH_NOT_FOUND", ERROR_PATH_NOT_FOUND},     {"ERROR_FILENAME_EXCED_RANGE", ERROR_FILENAME_EXCED_RANGE},
    {"ERROR_NOT_SUPPORTED", ERROR_NOT_SUPPORTED},       {"ERROR_INVALID_HANDLE", ERROR_INVALID_HANDLE},
    {"ERROR_USER_MAPPED_FILE", ERROR_USER_MAPPED_FILE}, {"ERROR_NO_UNICODE_TRANSLATION", ERROR_NO_UNICODE_TRANSLATION},
    {"ERROR_WRITE_PROTECT", ERROR_WRITE_PROTECT},       {"EIO", EIO},
    {"EACCES", EACCES},
};

unsigned long errorNumber(const char* name) {
  for (const auto& known : kErrors)
    if (std::strcmp(name, known.name) == 0) return known.value;
  return 0;
}

// The real functions, as the import table held them.
BOOL(WINAPI* real_WriteFile)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
intptr_t(__cdecl* real_get_osfhandle)(int);

void say(const char* text, std::size_t size) {
  DWORD written = 0;
  real_WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(size), &written, nullptr);
}

// What each handle the program opened is a handle of, as a fault names it,
// and whether anything was written through it.
struct Labelled {
  HANDLE handle;
  char what[kWhatSize];
  bool wrote;
};
Labelled labels[64];

Labelled* find(HANDLE handle) {
  for (Labelled& entry : labels)
    if (entry.handle == handle) return &entry;
  return nullptr;
}

void label(HANDLE handle, const char* what) {
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return;
  Labelled* const entry = find(handle) != nullptr ? find(handle) : find(nullptr);
  if (entry == nullptr) return;
  entry->handle = handle;
  entry->wrote = false;
  std::strcpy(entry->what, what);
}

const char* whatOf(HANDLE handle) {
  const Labelled* const entry = find(handle);
  return entry != nullptr ? entry->what : "unnamed";
}

// The action due at this call of `call` on `what`: said on standard error,
// with `note` and the system's words for a failure ("hvn-fault: struck
// WriteFile apps.ini 1: Disk full."); the error is left for the wrapper to
// report. A call no fault takes is listed where asked.
Action strikes(const char* call, const char* what, DWORD& error, const char* note = "") {
  Faults& all = faultsInForce(errorNumber);
  static const bool listing = std::getenv("HVN_FAULT_LIST") != nullptr;
  char line[kWhatSize + 640];
  const Fault* const due = dueFault(all, call, what);
  if (due == nullptr) {
    if (listing) say(line, static_cast<std::size_t>(std::snprintf(line, sizeof line, "hvn-fault: call %s %s %ld%s\n",
                                                                  call, what, countUntaken(all, call, what), note)));
    return Action::kNone;
  }
  int size = std::snprintf(line, sizeof line, "hvn-fault: struck %s %s %ld%s", call, what, due->when, note);
  error = static_cast<DWORD>(due->error);
  if (due->action == Action::kFail && call[0] != '_') {  // a system error, not the C runtime's errno
    line[size++] = ':';
    line[size++] = ' ';
    size += static_cast<int>(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                                            0, line + size, 512, nullptr));
    while (line[size - 1] == '\n' || line[size - 1] == '\r') --size;
  }
  line[size++] = '\n';
  say(line, static_cast<std::size_t>(size));
  if (due->action == Action::kKill) TerminateProcess(GetCurrentProcess(), 137);
  return due->action;
}

// A path named as a fault names it; the program opens no folder as a file.
const char* named(const char* path, char (&what)[kWhatSize]) {
  nameWhat(path, false, what);
  return what;
}

// The same for a path in UTF-16, whose names here are ASCII.
const char* named(const wchar_t* path, char (&what)[kWhatSize]) {
  char narrow[MAX_PATH] = "";
  for (std::size_t i = 0; i + 1 < sizeof narrow && path[i] != 0; ++i) narrow[i] = static_cast<char>(path[i]);
  return named(narrow, what);
}

// Text to convert: a path, ended by its NUL, or the system's words.
const char* namedText(const char* text, int size, char (&what)[kWhatSize]) {
  return size < 0 ? named(text, what) : "words";
}

}  // namespace

extern "C" int hvnFaultsStruck() { return faultsInForce(errorNumber).struck; }

// A wrapper for each call: it fails where a fault is due, setting the
// error as the system would, and otherwise passes the call through.
#define WRAP(Result, name, params, args, what, failed)        \
  namespace {                                                  \
  Result(WINAPI* real_##name) params;                          \
  Result WINAPI fault_##name params {                          \
    DWORD error = 0;                                           \
    if (strikes(#name, what, error) == Action::kFail) {        \
      SetLastError(error);                                     \
      return failed;                                           \
    }                                                          \
    return real_##name args;                                   \
  }                                                            \
  }
#define PATH(path) named(path, what_buffer)
#define OF(handle) whatOf(handle)

namespace {
char what_buffer[kWhatSize];
}

WRAP(DWORD, GetFileAttributesA, (LPCSTR path), (path), PATH(path), INVALID_FILE_ATTRIBUTES)
WRAP(DWORD, GetFullPathNameA, (LPCSTR path, DWORD size, LPSTR full, LPSTR* part), (path, size, full, part),
     PATH(path), 0)
WRAP(BOOL, DeleteFileA, (LPCSTR path), (path), PATH(path), FALSE)
WRAP(BOOL, MoveFileExA, (LPCSTR from, LPCSTR to, DWORD flags), (from, to, flags), PATH(from), FALSE)
WRAP(BOOL, GetFileSecurityA, (LPCSTR path, SECURITY_INFORMATION kinds, PSECURITY_DESCRIPTOR bytes, DWORD size,
                              LPDWORD needed), (path, kinds, bytes, size, needed), PATH(path), FALSE)
WRAP(BOOL, SetFileSecurityA, (LPCSTR path, SECURITY_INFORMATION kinds, PSECURITY_DESCRIPTOR bytes),
     (path, kinds, bytes), PATH(path), FALSE)
WRAP(BOOL, ReadFile, (HANDLE file, LPVOID bytes, DWORD size, LPDWORD got, LPOVERLAPPED overlapped),
     (file, bytes, size, got, overlapped), OF(file), FALSE)
WRAP(BOOL, FlushFileBuffers, (HANDLE file), (file), OF(file), FALSE)
WRAP(BOOL, SetEndOfFile, (HANDLE file), (file), OF(file), FALSE)
WRAP(BOOL, SetFilePointerEx, (HANDLE file, LARGE_INTEGER to, PLARGE_INTEGER at, DWORD from), (file, to, at, from),
     OF(file), FALSE)
WRAP(BOOL, GetFileSizeEx, (HANDLE file, PLARGE_INTEGER size), (file, size), OF(file), FALSE)
WRAP(DWORD, GetFileType, (HANDLE file), (file), OF(file), FILE_TYPE_UNKNOWN)
WRAP(BOOL, GetFileInformationByHandle, (HANDLE file, LPBY_HANDLE_FILE_INFORMATION info), (file, info), OF(file),
     FALSE)
WRAP(int, MultiByteToWideChar, (UINT page, DWORD flags, LPCCH text, int size, LPWSTR wide, int room),
     (page, flags, text, size, wide, room), namedText(text, size, what_buffer), 0)
WRAP(HANDLE, FindFirstStreamW, (LPCWSTR path, int level, LPVOID data, DWORD flags), (path, level, data, flags),
     PATH(path), INVALID_HANDLE_VALUE)

namespace {

// CreateFileA labels the handle it gives; CloseHandle forgets it.
HANDLE(WINAPI* real_CreateFileA)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
HANDLE WINAPI fault_CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD how,
                                DWORD attributes, HANDLE like) {
  char what[kWhatSize];
  nameWhat(path, false, what);
  DWORD error = 0;
  if (strikes("CreateFileA", what, error) == Action::kFail) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  const HANDLE file = real_CreateFileA(path, access, share, security, how, attributes, like);
  label(file, what);
  return file;
}

// A close says, as on Linux, when nothing was written through the handle:
// the failed close of one that wrote nothing changes nothing.
BOOL(WINAPI* real_CloseHandle)(HANDLE);
BOOL WINAPI fault_CloseHandle(HANDLE file) {
  DWORD error = 0;
  Labelled* const entry = find(file);
  const Action action = strikes("CloseHandle", whatOf(file), error, entry != nullptr && !entry->wrote ? " (read-only)" : "");
  if (entry != nullptr) entry->handle = nullptr;
  const BOOL closed = real_CloseHandle(file);  // a handle is gone even when its close fails
  if (action != Action::kFail) return closed;
  SetLastError(error);
  return FALSE;
}

// WriteFile may also be cut short: it writes the first half of what it is
// given and says so.
BOOL WINAPI fault_WriteFile(HANDLE file, LPCVOID bytes, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) {
  DWORD error = 0;
  if (Labelled* const entry = find(file)) entry->wrote = true;
  switch (strikes("WriteFile", whatOf(file), error)) {
    case Action::kFail: SetLastError(error); return FALSE;
    case Action::kShort: return real_WriteFile(file, bytes, size / 2, written, overlapped);
    default: return real_WriteFile(file, bytes, size, written, overlapped);
  }
}

// The C runtime's calls the reader makes report errors in errno.
int(__cdecl* real_open)(const char*, int, ...);
int __cdecl fault_open(const char* path, int flags, ...) {
  char what[kWhatSize];
  nameWhat(path, false, what);
  DWORD error = 0;
  if (strikes("_open", what, error) == Action::kFail) return errno = static_cast<int>(error), -1;
  const int fd = real_open(path, flags);
  if (fd >= 0) label(reinterpret_cast<HANDLE>(real_get_osfhandle(fd)), what);
  return fd;
}

#define CRT_WRAP(name, call, params, args, fd)                                                          \
  int(__cdecl* real_##name) params;                                                                 \
  int __cdecl fault_##name params {                                                                 \
    DWORD error = 0;                                                                                \
    if (strikes(call, fd <= 2 ? "console" : whatOf(reinterpret_cast<HANDLE>(real_get_osfhandle(fd))), error) ==  \
        Action::kFail)                                                                              \
      return errno = static_cast<int>(error), -1;                                                   \
    return real_##name args;                                                                        \
  }
CRT_WRAP(_read, "_read", (int fd, void* bytes, unsigned size), (fd, bytes, size), fd)
CRT_WRAP(_fstat, "_fstat", (int fd, void* info), (fd, info), fd)
CRT_WRAP(_close_checked, "_close", (int fd), (fd), fd)

// _close also forgets the handle's name.
int __cdecl fault__close(int fd) {
  const HANDLE file = reinterpret_cast<HANDLE>(real_get_osfhandle(fd));
  const int closed = fault__close_checked(fd);
  if (Labelled* const entry = find(file)) entry->handle = nullptr;
  return closed;
}

// Streams are listed by functions the program looks up by name, which are
// handed out wrapped too.
FARPROC(WINAPI* real_GetProcAddress)(HMODULE, LPCSTR);
FARPROC WINAPI fault_GetProcAddress(HMODULE module, LPCSTR name) {
  const FARPROC found = real_GetProcAddress(module, name);
  if (found == nullptr || reinterpret_cast<std::uintptr_t>(name) <= 0xFFFF || std::strcmp(name, "FindFirstStreamW") != 0)
    return found;
  real_FindFirstStreamW = reinterpret_cast<decltype(real_FindFirstStreamW)>(reinterpret_cast<void*>(found));
  return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&fault_FindFirstStreamW));
}

// Every wrapped call, by the name it is imported under.
struct Hook {
  const char* name;
  void* wrapper;
  void* real;
};
#define HOOK(name, wrapper) {#name, reinterpret_cast<void*>(&fault_##wrapper), reinterpret_cast<void*>(&real_##wrapper)}
const Hook kHooks[] = {
    HOOK(CreateFileA, CreateFileA),       HOOK(CloseHandle, CloseHandle),       HOOK(WriteFile, WriteFile),
    HOOK(ReadFile, ReadFile),             HOOK(FlushFileBuffers, FlushFileBuffers), HOOK(SetEndOfFile, SetEndOfFile),
    HOOK(SetFilePointerEx, SetFilePointerEx), HOOK(GetFileSizeEx, GetFileSizeEx), HOOK(GetFileType, GetFileType),
    HOOK(GetFileInformationByHandle, GetFileInformationByHandle), HOOK(GetFileAttributesA, GetFileAttributesA),
    HOOK(GetFullPathNameA, GetFullPathNameA), HOOK(DeleteFileA, DeleteFileA), HOOK(MoveFileExA, MoveFileExA),
    HOOK(GetFileSecurityA, GetFileSecurityA), HOOK(SetFileSecurityA, SetFileSecurityA),
    HOOK(MultiByteToWideChar, MultiByteToWideChar), HOOK(GetProcAddress, GetProcAddress),
    HOOK(_open, open),                    HOOK(_read, _read),                   HOOK(_fstat, _fstat),
    {"_close", reinterpret_cast<void*>(&fault__close), reinterpret_cast<void*>(&real__close_checked)},
};

// Points the program's import table entries for kHooks at the wrappers,
// keeping each real function.
bool hookImports() {
  auto* const base = reinterpret_cast<BYTE*>(GetModuleHandleA(nullptr));
  const auto* const nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  real_get_osfhandle = &_get_osfhandle;
  for (auto* dll = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); dll->Name != 0; ++dll) {
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->OriginalFirstThunk);
    auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slot) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const char* const name = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData)->Name;
      for (const Hook& hook : kHooks) {
        if (std::strcmp(name, hook.name) != 0) continue;
        *static_cast<void**>(hook.real) = reinterpret_cast<void*>(slot->u1.Function);
        DWORD was = 0;
        VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, PAGE_READWRITE, &was);
        slot->u1.Function = reinterpret_cast<ULONG_PTR>(hook.wrapper);
        VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, was, &was);
      }
    }
  }
  return true;
}

const bool hooked = hookImports();

}  // namespace
