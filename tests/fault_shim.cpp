// Loaded into the program with LD_PRELOAD by the end-to-end runner, this makes
// calls of C library functions go wrong, so that the program's answer to a
// failing system can be seen. HVN_FAULT says which and how, several faults
// separated by commas:
//   "CALL N ERRNO"  the N-th call of CALL fails with that error (EIO, ...)
//   "CALL N kill"   the process is killed at the N-th call of CALL
//   "pwritev N short" the N-th pwritev writes only the first half of what
//                   it is given and says so, as a disk that fills up does
//   "CALL N run"    before the N-th call of CALL, the shell command in
//                   HVN_FAULT_RUN runs, as another process would act then
// Calls are counted from 1 over the whole process. Nothing else changes.
#include <dlfcn.h>
#include <fcntl.h>
#include <cstdio>
#include <sys/stat.h>
#include <sys/ioctl.h>
#include <sys/types.h>
#include <sys/uio.h>
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

namespace {

enum class Action { kNone, kFail, kKill, kShort, kRun };

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
    {"EOPNOTSUPP", EOPNOTSUPP}, {"ERANGE", ERANGE}, {"ENOTTY", ENOTTY},
};

// The faults HVN_FAULT asks for, separated by commas.
struct Faults {
  Fault list[4];
  int count = 0;
};

Faults& faults() {
  static Faults parsed = [] {
    Faults all;
    const char* wanted = std::getenv("HVN_FAULT");
    for (; wanted != nullptr && *wanted != '\0' && all.count < 4; wanted = std::strchr(wanted, ',')) {
      if (*wanted == ',') ++wanted;
      Fault& f = all.list[all.count++];
      char action[32] = "";
      if (std::sscanf(wanted, "%31s %ld %31[^,]", f.call, &f.when, action) != 3) continue;
      if (std::strcmp(action, "kill") == 0) f.action = Action::kKill;
      if (std::strcmp(action, "short") == 0) f.action = Action::kShort;
      if (std::strcmp(action, "run") == 0) f.action = Action::kRun;
      for (const auto& known : kErrors)
        if (std::strcmp(action, known.name) == 0) f.action = Action::kFail, f.error = known.value;
    }
    return all;
  }();
  return parsed;
}

template <typename Function>
Function next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// The action due at this call of `call`, if any. A fault that strikes says
// so on standard error ("hvn-fault: struck CALL N", then `note`), so that a
// test can tell when N has passed the last call there is.
Action strikes(const char* call, const char* note = "") {
  static const auto real_write = next<ssize_t (*)(int, const void*, size_t)>("write");
  Faults& all = faults();
  // The faults on one call count it in turn: one that strikes takes the
  // call, so "pwritev 1 short,pwritev 1 EIO" cuts the first short and fails
  // the next.
  Fault* due = nullptr;
  for (int i = 0; i < all.count && due == nullptr; ++i) {
    Fault& f = all.list[i];
    if (f.action != Action::kNone && std::strcmp(call, f.call) == 0 && ++f.calls == f.when) due = &f;
  }
  if (due == nullptr) return Action::kNone;
  char struck[64];
  const int size = std::snprintf(struck, sizeof struck, "hvn-fault: struck %s %ld%s\n", due->call, due->when, note);
  if (size > 0 && real_write(2, struck, static_cast<size_t>(size)) < 0) {
  }
  if (due->action == Action::kKill) raise(SIGKILL);
  if (due->action == Action::kRun) {
    unsetenv("LD_PRELOAD");  // the command's own calls are not the program's
    if (std::system(std::getenv("HVN_FAULT_RUN")) != 0) raise(SIGKILL);
  }
  errno = due->error;
  return due->action;
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
FAULTABLE(ssize_t, pread, (int fd, void* buffer, size_t size, off_t offset), (fd, buffer, size, offset))
FAULTABLE(ssize_t, pwrite, (int fd, const void* data, size_t size, off_t offset), (fd, data, size, offset))
FAULTABLE(int, fsync, (int fd), (fd))
FAULTABLE(int, fdatasync, (int fd), (fd))
FAULTABLE(int, fchmod, (int fd, mode_t mode), (fd, mode))
FAULTABLE(int, fchown, (int fd, uid_t owner, gid_t group), (fd, owner, group))
FAULTABLE(int, ftruncate, (int fd, off_t size), (fd, size))
FAULTABLE(int, fallocate, (int fd, int mode, off_t offset, off_t size), (fd, mode, offset, size))
FAULTABLE(int, rename, (const char* from, const char* to), (from, to))
FAULTABLE(int, renameat, (int from_dir, const char* from, int to_dir, const char* to), (from_dir, from, to_dir, to))
FAULTABLE(int, unlink, (const char* path), (path))
FAULTABLE(int, unlinkat, (int dir, const char* path, int flags), (dir, path, flags))
FAULTABLE(int, mkstemp, (char* pattern), (pattern))
FAULTABLE(int, stat, (const char* path, struct stat* info), (path, info))
FAULTABLE(int, fstat, (int fd, struct stat* info), (fd, info))
FAULTABLE(int, lstat, (const char* path, struct stat* info), (path, info))
FAULTABLE(int, fstatat, (int dir, const char* path, struct stat* info, int flags), (dir, path, info, flags))
FAULTABLE(ssize_t, readlinkat, (int dir, const char* path, char* target, size_t size), (dir, path, target, size))
FAULTABLE(ssize_t, listxattr, (const char* path, char* names, size_t size), (path, names, size))
FAULTABLE(ssize_t, flistxattr, (int fd, char* names, size_t size), (fd, names, size))
FAULTABLE(ssize_t, getxattr, (const char* path, const char* name, void* value, size_t size), (path, name, value, size))
FAULTABLE(ssize_t, fgetxattr, (int fd, const char* name, void* value, size_t size), (fd, name, value, size))
FAULTABLE(int, fsetxattr, (int fd, const char* name, const void* value, size_t size, int flags),
          (fd, name, value, size, flags))
FAULTABLE(int, fremovexattr, (int fd, const char* name), (fd, name))
FAULTABLE(int, faccessat, (int dir, const char* path, int mode, int flags), (dir, path, mode, flags))
FAULTABLE(char*, realpath, (const char* path, char* resolved), (path, resolved))

// pwritev may also be cut short: it writes the first half of what it is
// given and says so.
extern "C" ssize_t pwritev(int fd, const struct iovec* pieces, int count, off_t offset) {
  static const auto real = next<ssize_t (*)(int, const struct iovec*, int, off_t)>("pwritev");
  switch (strikes("pwritev")) {
    case Action::kFail: return -1;
    case Action::kShort: {
      std::size_t half = 0;
      for (int i = 0; i < count; ++i) half += pieces[i].iov_len;
      half /= 2;
      std::vector<iovec> first;
      for (int i = 0; i < count && half > 0; ++i) {
        first.push_back({pieces[i].iov_base, std::min(half, pieces[i].iov_len)});
        half -= first.back().iov_len;
      }
      return real(fd, first.data(), static_cast<int>(first.size()), offset);
    }
    default: return real(fd, pieces, count, offset);
  }
}

// A close says whether the descriptor could have written anything: the
// failed close of one that could not changes nothing.
extern "C" int close(int fd) {
  static const auto real = next<int (*)(int)>("close");
  const int flags = fcntl(fd, F_GETFL);
  const bool unwritten = flags >= 0 && ((flags & O_PATH) != 0 || (flags & O_ACCMODE) == O_RDONLY);
  if (strikes("close", unwritten ? " (read-only)" : "") == Action::kFail) return -1;
  return real(fd);
}

// ioctl's request and argument, as the writer passes them: a pointer.
extern "C" int ioctl(int fd, unsigned long request, ...) {
  static const auto real = next<int (*)(int, unsigned long, ...)>("ioctl");
  va_list rest;
  va_start(rest, request);
  void* const argument = va_arg(rest, void*);
  va_end(rest);
  if (strikes("ioctl") == Action::kFail) return -1;
  return real(fd, request, argument);
}

// posix_fallocate reports its error as its result, not in errno.
extern "C" int posix_fallocate(int fd, off_t offset, off_t size) {
  static const auto real = next<int (*)(int, off_t, off_t)>("posix_fallocate");
  if (strikes("posix_fallocate") == Action::kFail) return errno;
  return real(fd, offset, size);
}

extern "C" int open(const char* path, int flags, ...) {
  static const auto real = next<int (*)(const char*, int, ...)>("open");
  mode_t mode = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list rest;
    va_start(rest, flags);
    mode = static_cast<mode_t>(va_arg(rest, int));
    va_end(rest);
  }
  if (strikes("open") == Action::kFail) return -1;
  return real(path, flags, mode);
}

extern "C" int openat(int dir, const char* path, int flags, ...) {
  static const auto real = next<int (*)(int, const char*, int, ...)>("openat");
  mode_t mode = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list rest;
    va_start(rest, flags);
    mode = static_cast<mode_t>(va_arg(rest, int));
    va_end(rest);
  }
  // The writer opens a menu file's folder, "." in it, to read its flags and
  // to flush it; one its user may not read is no failure there.
  if (strikes("openat", std::strcmp(path, ".") == 0 ? " (folder)" : "") == Action::kFail) return -1;
  return real(dir, path, flags, mode);
}
