// Loaded into the program with LD_PRELOAD by the end-to-end runner, this makes
// calls of C library functions go wrong, so that the program's answer to a
// failing system can be seen. A fault names the call and what it is done to,
// as the faults of tests/fault_names.h read; HVN_FAULT holds up to four,
// separated by commas:
//   "fsync apps.ini's copy EIO"  the flush of the new app menu fails with EIO
//   "close games.ini 2 EIO"      the second close of games.ini fails
//   "pwrite apps.ini short"      the write in place takes only the first half
//                                of what it is given and says so, as a disk
//                                that fills up does
//   "fsync ini/ kill"            the process is killed at the folder's flush
//   "openat apps.ini run"        before the open, the shell command in
//                                HVN_FAULT_RUN runs, as another process would
// Faults on the same call and file count its calls in turn: one that strikes
// takes the call. A fault that strikes says so on standard error
// ("hvn-fault: struck fsync apps.ini's copy 1"); with HVN_FAULT_LIST set,
// every call no fault takes is listed there the same way ("hvn-fault: call
// ..."), which is how a sweep learns what to fail. Nothing else changes.
#include <dlfcn.h>
#include <fcntl.h>
#include <cstdio>
#include <sys/stat.h>
#include <sys/ioctl.h>
#include <sys/types.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <vector>

#include "tests/fault_names.h"

namespace {

const struct {
  const char* name;
  int value;
} kErrors[] = {
    {"EIO", EIO},       {"ENOSPC", ENOSPC}, {"EDQUOT", EDQUOT},   {"EACCES", EACCES},
    {"EPERM", EPERM},   {"EBUSY", EBUSY},   {"EXDEV", EXDEV},     {"EROFS", EROFS},
    {"ENOENT", ENOENT}, {"EINTR", EINTR},   {"ENAMETOOLONG", ENAMETOOLONG},
    {"EOPNOTSUPP", EOPNOTSUPP}, {"ERANGE", ERANGE}, {"ENOTTY", ENOTTY},
};

int errorNumber(const char* action) {
  for (const auto& known : kErrors)
    if (std::strcmp(action, known.name) == 0) return known.value;
  return 0;
}

template <typename Function>
Function next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

void say(const char* line, std::size_t size) {
  static const auto real_write = next<ssize_t (*)(int, const void*, size_t)>("write");
  if (real_write(2, line, size) < 0) {
  }
}

// What each descriptor this process opened is a descriptor of, as a fault
// names it; 0 to 2 are the console's.
char (&labelOf(int fd))[kWhatSize] {
  static char labels[1024][kWhatSize];
  static char unknown[kWhatSize];
  if (fd < 0 || fd >= 1024) return unknown;
  if (fd <= 2 && labels[fd][0] == '\0') std::strcpy(labels[fd], "console");
  return labels[fd];
}

// The label of `path` opened or named from the folder `dir`: "." is the
// folder itself, a folder opened as one ends in "/", and the current folder
// is "./" by whatever path it is reached.
void labelPath(int dir, const char* path, bool folder, char (&what)[kWhatSize]) {
  static char current[kWhatSize] = "";
  if (current[0] == '\0') {
    char path_now[4096];
    if (getcwd(path_now, sizeof path_now) != nullptr) nameWhat(path_now, false, current);
  }
  if (std::strcmp(path, ".") == 0 || *path == '\0') {  // "" names the descriptor itself
    std::strcpy(what, dir == AT_FDCWD ? "./" : labelOf(dir));
    return;
  }
  nameWhat(path, false, what);
  if (std::strcmp(what, current) == 0) {
    std::strcpy(what, "./");
    return;
  }
  nameWhat(path, folder, what);
}

// The action due at this call of `call` on `what`, if any, said on
// standard error with `note`; or, where none is and HVN_FAULT_LIST is set,
// the call listed there.
Action strikes(const char* call, const char* what, const char* note = "") {
  Faults& all = faultsInForce(errorNumber);
  static const bool listing = std::getenv("HVN_FAULT_LIST") != nullptr;
  char line[kWhatSize + 96];
  Fault* const due = dueFault(all, call, what);
  if (due == nullptr) {
    if (!listing) return Action::kNone;
    const long n = countUntaken(all, call, what);
    say(line, static_cast<std::size_t>(std::snprintf(line, sizeof line, "hvn-fault: call %s %s %ld%s\n", call, what, n, note)));
    return Action::kNone;
  }
  say(line, static_cast<std::size_t>(
                std::snprintf(line, sizeof line, "hvn-fault: struck %s %s %ld%s\n", call, what, due->when, note)));
  if (due->action == Action::kKill) raise(SIGKILL);
  if (due->action == Action::kRun) {
    unsetenv("LD_PRELOAD");  // the command's own calls are not the program's
    if (std::system(std::getenv("HVN_FAULT_RUN")) != 0) raise(SIGKILL);
  }
  errno = due->error;
  return due->action;
}

Action strikesOn(const char* call, int fd, const char* note = "") { return strikes(call, labelOf(fd), note); }

Action strikesAt(const char* call, int dir, const char* path) {
  char what[kWhatSize];
  labelPath(dir, path, false, what);
  return strikes(call, what);
}

template <typename Result>
Result failure() {
  if constexpr (std::is_pointer_v<Result>) {
    return nullptr;
  } else {
    return static_cast<Result>(-1);
  }
}

}  // namespace

extern "C" int hvnFaultsStruck() { return faultsInForce(errorNumber).struck; }

// Functions of fixed arity: fail at their turn, otherwise pass through. A
// call is named by the descriptor it is given, or the path.
#define FAULTABLE(Result, name, params, args, named)                                   \
  extern "C" Result name params {                                                      \
    static const auto real = next<Result(*) params>(#name);                            \
    if (named == Action::kFail) return failure<Result>();                              \
    return real args;                                                                  \
  }
#define ON(fd) strikesOn(__func__, fd)
#define AT(dir, path) strikesAt(__func__, dir, path)

FAULTABLE(ssize_t, read, (int fd, void* buffer, size_t size), (fd, buffer, size), ON(fd))
FAULTABLE(ssize_t, write, (int fd, const void* data, size_t size), (fd, data, size), ON(fd))
FAULTABLE(ssize_t, pread, (int fd, void* buffer, size_t size, off_t offset), (fd, buffer, size, offset), ON(fd))
FAULTABLE(int, fsync, (int fd), (fd), ON(fd))
FAULTABLE(int, fdatasync, (int fd), (fd), ON(fd))
FAULTABLE(int, fchmod, (int fd, mode_t mode), (fd, mode), ON(fd))
FAULTABLE(int, fchown, (int fd, uid_t owner, gid_t group), (fd, owner, group), ON(fd))
FAULTABLE(int, ftruncate, (int fd, off_t size), (fd, size), ON(fd))
FAULTABLE(int, fallocate, (int fd, int mode, off_t offset, off_t size), (fd, mode, offset, size), ON(fd))
FAULTABLE(int, rename, (const char* from, const char* to), (from, to), AT(AT_FDCWD, from))
FAULTABLE(int, renameat, (int from_dir, const char* from, int to_dir, const char* to), (from_dir, from, to_dir, to),
          AT(from_dir, from))
FAULTABLE(int, renameat2, (int from_dir, const char* from, int to_dir, const char* to, unsigned flags),
          (from_dir, from, to_dir, to, flags), AT(from_dir, from))
FAULTABLE(int, unlink, (const char* path), (path), AT(AT_FDCWD, path))
FAULTABLE(int, unlinkat, (int dir, const char* path, int flags), (dir, path, flags), AT(dir, path))
FAULTABLE(int, stat, (const char* path, struct stat* info), (path, info), AT(AT_FDCWD, path))
FAULTABLE(int, fstat, (int fd, struct stat* info), (fd, info), ON(fd))
FAULTABLE(int, lstat, (const char* path, struct stat* info), (path, info), AT(AT_FDCWD, path))
FAULTABLE(int, fstatat, (int dir, const char* path, struct stat* info, int flags), (dir, path, info, flags),
          AT(dir, path))
FAULTABLE(ssize_t, readlinkat, (int dir, const char* path, char* target, size_t size), (dir, path, target, size),
          AT(dir, path))
FAULTABLE(ssize_t, listxattr, (const char* path, char* names, size_t size), (path, names, size), AT(AT_FDCWD, path))
FAULTABLE(ssize_t, flistxattr, (int fd, char* names, size_t size), (fd, names, size), ON(fd))
FAULTABLE(ssize_t, getxattr, (const char* path, const char* name, void* value, size_t size), (path, name, value, size),
          AT(AT_FDCWD, path))
FAULTABLE(ssize_t, fgetxattr, (int fd, const char* name, void* value, size_t size), (fd, name, value, size), ON(fd))
FAULTABLE(int, fsetxattr, (int fd, const char* name, const void* value, size_t size, int flags),
          (fd, name, value, size, flags), ON(fd))
FAULTABLE(int, fremovexattr, (int fd, const char* name), (fd, name), ON(fd))
FAULTABLE(int, faccessat, (int dir, const char* path, int mode, int flags), (dir, path, mode, flags), AT(dir, path))
FAULTABLE(char*, realpath, (const char* path, char* resolved), (path, resolved), AT(AT_FDCWD, path))

// pwrite may also be cut short: it writes the first half of what it is
// given and says so.
extern "C" ssize_t pwrite(int fd, const void* data, size_t size, off_t offset) {
  static const auto real = next<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
  switch (strikesOn("pwrite", fd)) {
    case Action::kFail: return -1;
    case Action::kShort: return real(fd, data, size / 2, offset);
    default: return real(fd, data, size, offset);
  }
}

// A close says whether the descriptor could have written anything: the
// failed close of one that could not changes nothing.
extern "C" int close(int fd) {
  static const auto real = next<int (*)(int)>("close");
  const int flags = fcntl(fd, F_GETFL);
  const bool unwritten = flags >= 0 && ((flags & O_PATH) != 0 || (flags & O_ACCMODE) == O_RDONLY);
  const Action action = strikesOn("close", fd, unwritten ? " (read-only)" : "");
  labelOf(fd)[0] = '\0';
  if (action == Action::kFail) return -1;
  return real(fd);
}

// ioctl's request and argument, as the writer passes them: a pointer.
extern "C" int ioctl(int fd, unsigned long request, ...) {
  static const auto real = next<int (*)(int, unsigned long, ...)>("ioctl");
  va_list rest;
  va_start(rest, request);
  void* const argument = va_arg(rest, void*);
  va_end(rest);
  if (strikesOn("ioctl", fd) == Action::kFail) return -1;
  return real(fd, request, argument);
}

// posix_fallocate reports its error as its result, not in errno.
extern "C" int posix_fallocate(int fd, off_t offset, off_t size) {
  static const auto real = next<int (*)(int, off_t, off_t)>("posix_fallocate");
  if (strikesOn("posix_fallocate", fd) == Action::kFail) return errno;
  return real(fd, offset, size);
}

namespace {

// Opens `path` from `dir` by `real`, named for what it opens, and labels the
// descriptor it gives the same way. The writer opens a menu's folder as
// "." to read its flags and to flush it: one its user may not read is no
// failure there, which the note says.
template <typename Open>
int opened(const char* call, int dir, const char* path, int flags, Open real) {
  char what[kWhatSize];
  labelPath(dir, path, (flags & O_DIRECTORY) != 0, what);
  const bool own_folder = dir != AT_FDCWD && std::strcmp(path, ".") == 0;
  if (strikes(call, what, own_folder ? " (folder)" : "") == Action::kFail) return -1;
  const int fd = real();
  if (fd < 0) return fd;
  // A part of a path opened as a bare path may be a folder after all.
  static const auto real_fstat = next<int (*)(int, struct stat*)>("fstat");
  struct stat info;
  if ((flags & O_PATH) != 0 && real_fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) labelPath(dir, path, true, what);
  std::strcpy(labelOf(fd), what);
  return fd;
}

mode_t modeOf(int flags, va_list rest) {
  return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(rest, int)) : 0;
}

}  // namespace

extern "C" int open(const char* path, int flags, ...) {
  static const auto real = next<int (*)(const char*, int, ...)>("open");
  va_list rest;
  va_start(rest, flags);
  const mode_t mode = modeOf(flags, rest);
  va_end(rest);
  return opened("open", AT_FDCWD, path, flags, [&] { return real(path, flags, mode); });
}

extern "C" int openat(int dir, const char* path, int flags, ...) {
  static const auto real = next<int (*)(int, const char*, int, ...)>("openat");
  va_list rest;
  va_start(rest, flags);
  const mode_t mode = modeOf(flags, rest);
  va_end(rest);
  return opened("openat", dir, path, flags, [&] { return real(dir, path, flags, mode); });
}

extern "C" int mkstemp(char* pattern) {
  static const auto real = next<int (*)(char*)>("mkstemp");
  return opened("mkstemp", AT_FDCWD, pattern, 0, [&] { return real(pattern); });
}
