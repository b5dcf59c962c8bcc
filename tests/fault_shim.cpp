// Loaded into the program with LD_PRELOAD by the end-to-end runner, this makes
// one call of one C library function go wrong, so that the program's answer
// to a failing system can be seen. HVN_FAULT says which and how:
//   "CALL N ERRNO"  the N-th call of CALL fails with that error (EIO, ...)
//   "CALL N kill"   the process is killed at the N-th call of CALL
//   "open N fifo"   before the N-th open, a FIFO takes the file's place
// Calls are counted from 1 over the whole process. Nothing else changes.
#include <dlfcn.h>
#include <fcntl.h>
#include <cstdio>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <type_traits>

namespace {

enum class Action { kNone, kFail, kKill, kFifo };

struct Fault {
  char call[32] = "";
  long when = 0;
  Action action = Action::kNone;
  int error = 0;
  long calls = 0;
};

const struct {
  const char* name;
  int value;
} kErrors[] = {
    {"EIO", EIO},       {"ENOSPC", ENOSPC}, {"EDQUOT", EDQUOT},   {"EACCES", EACCES},
    {"EPERM", EPERM},   {"EBUSY", EBUSY},   {"EXDEV", EXDEV},     {"EROFS", EROFS},
    {"ENOENT", ENOENT}, {"EINTR", EINTR},   {"ENAMETOOLONG", ENAMETOOLONG},
    {"EOPNOTSUPP", EOPNOTSUPP},
};

Fault& fault() {
  static Fault parsed = [] {
    Fault f;
    const char* spec = std::getenv("HVN_FAULT");
    char action[32] = "";
    if (spec == nullptr || std::sscanf(spec, "%31s %ld %31s", f.call, &f.when, action) != 3) return f;
    if (std::strcmp(action, "kill") == 0) f.action = Action::kKill;
    if (std::strcmp(action, "fifo") == 0) f.action = Action::kFifo;
    for (const auto& known : kErrors)
      if (std::strcmp(action, known.name) == 0) f.action = Action::kFail, f.error = known.value;
    return f;
  }();
  return parsed;
}

// The action due at this call of `call`, if any.
Action strikes(const char* call) {
  Fault& f = fault();
  if (f.action == Action::kNone || std::strcmp(call, f.call) != 0 || ++f.calls != f.when)
    return Action::kNone;
  if (f.action == Action::kKill) raise(SIGKILL);
  errno = f.error;
  return f.action;
}

template <typename Function>
Function next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
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

// Functions of fixed arity: fail at their turn, otherwise pass through.
#define FAULTABLE(Result, name, params, args)                                          \
  extern "C" Result name params {                                                      \
    static const auto real = next<Result(*) params>(#name);                            \
    if (strikes(#name) == Action::kFail) return failure<Result>();                     \
    return real args;                                                                  \
  }

FAULTABLE(ssize_t, read, (int fd, void* buffer, size_t size), (fd, buffer, size))
FAULTABLE(ssize_t, write, (int fd, const void* data, size_t size), (fd, data, size))
FAULTABLE(int, close, (int fd), (fd))
FAULTABLE(int, fsync, (int fd), (fd))
FAULTABLE(int, fdatasync, (int fd), (fd))
FAULTABLE(int, fchmod, (int fd, mode_t mode), (fd, mode))
FAULTABLE(int, fchown, (int fd, uid_t owner, gid_t group), (fd, owner, group))
FAULTABLE(int, ftruncate, (int fd, off_t size), (fd, size))
FAULTABLE(int, fallocate, (int fd, int mode, off_t offset, off_t size), (fd, mode, offset, size))
FAULTABLE(int, rename, (const char* from, const char* to), (from, to))
FAULTABLE(int, unlink, (const char* path), (path))
FAULTABLE(int, mkstemp, (char* pattern), (pattern))
FAULTABLE(int, stat, (const char* path, struct stat* info), (path, info))
FAULTABLE(int, fstat, (int fd, struct stat* info), (fd, info))
FAULTABLE(int, faccessat, (int dir, const char* path, int mode, int flags), (dir, path, mode, flags))
FAULTABLE(char*, realpath, (const char* path, char* resolved), (path, resolved))

// posix_fallocate reports its error as its result, not in errno.
extern "C" int posix_fallocate(int fd, off_t offset, off_t size) {
  static const auto real = next<int (*)(int, off_t, off_t)>("posix_fallocate");
  if (strikes("posix_fallocate") == Action::kFail) return errno;
  return real(fd, offset, size);
}

extern "C" int open(const char* path, int flags, ...) {
  static const auto real = next<int (*)(const char*, int, ...)>("open");
  static const auto real_unlink = next<int (*)(const char*)>("unlink");
  mode_t mode = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list rest;
    va_start(rest, flags);
    mode = static_cast<mode_t>(va_arg(rest, int));
    va_end(rest);
  }
  switch (strikes("open")) {
    case Action::kFail: return -1;
    case Action::kFifo:
      real_unlink(path);
      mkfifo(path, 0644);
      break;
    default: break;
  }
  return real(path, flags, mode);
}
