// POSIX steps of the writer (file_steps.h). Every step works on descriptors:
// the folder the name leads to is opened once, and the file in it is judged
// by a descriptor of the very object that is then replaced or written, so
// that nothing swapped in between two looks at a name is ever written.
#include "platform/file_steps.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/fs.h>
#endif

#include "platform/file_writer.h"

namespace {

// A descriptor closed when it goes out of scope, unless it was closed on
// purpose first (whose result then counts).
struct Descriptor {
  int fd = -1;
  explicit Descriptor(int opened = -1) : fd(opened) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() { release(); }
  // Closes it now; false with errno set if the close failed.
  bool release() {
    const int open_fd = fd;
    fd = -1;
    return open_fd < 0 || close(open_fd) == 0;
  }
  int take() { return std::exchange(fd, -1); }
};

// Puts `opened` in `fd`, closing what was there.
void replaceDescriptor(int& fd, int opened) {
  if (fd >= 0) close(fd);
  fd = opened;
}

// ---- Finding the file --------------------------------------------------------

// Puts the program's words for a step not taken in the target's refusal.
void refuse(Target& target, const std::string& words) {
  target.refusal[words.copy(target.refusal, sizeof target.refusal - 1)] = '\0';
}

// Who owns something, as a refusal names them: "root", "you", "nobody".
std::string ownerOf(uid_t uid) {
  if (uid == geteuid()) return "you";
  char buffer[1024];
  passwd entry;
  passwd* found = nullptr;
  if (getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) return found->pw_name;
  return "user " + std::to_string(uid);
}

// Whose something is: "root's", "yours", "nobody's".
std::string whose(uid_t uid) { return uid == geteuid() ? "yours" : ownerOf(uid) + "'s"; }

// Judges a step of the walk from `from` to `to`, each named as the walk
// reached it. One from something another unprivileged user owns (neither
// root nor this user) to something someone else owns is not taken, since
// that user could have pointed it anywhere; one from this user's or root's
// is. Returns EPERM, with the refusal in words, or 0.
int judgeStep(Target& target, const std::string& from_where, const struct stat& from, const std::string& to_where,
              const struct stat& to) {
  if (from.st_uid == 0 || from.st_uid == geteuid() || from.st_uid == to.st_uid) return 0;
  refuse(target, from_where + " is " + whose(from.st_uid) + " and leads to " + to_where + ", which is " +
                     whose(to.st_uid) + "; not followed, as " + ownerOf(from.st_uid) + " could have pointed it anywhere");
  return EPERM;
}

// `part` named after the folder `where`, as the walk reached it.
std::string named(const std::string& where, const std::string& part) {
  if (where.empty() || where == ".") return part;
  return where == "/" ? "/" + part : where + "/" + part;
}

constexpr int kMaxLinks = 40;  // as the kernel's own limit

// The folder the program started in, by the path the first walk found.
const std::string& startedIn() {
  static const std::string path = [] {
    char found[PATH_MAX];
    return getcwd(found, sizeof found) != nullptr ? std::string(found) : std::string();
  }();
  return path;
}

// Whether `error` says that a folder the walk went through has gone: its
// driver answers no more (a stick pulled), or it was removed.
bool gone(int error) { return error == ENOTCONN || error == ENODEV || error == ESTALE; }

// Opens the root or the current folder, where a walk starts or a link's
// absolute target sends it. A current folder that was removed has gone.
int openStart(bool absolute, Target& target) {
  startedIn();
  replaceDescriptor(target.folder, open(absolute ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (target.folder < 0) return errno;
  target.folder_where = absolute ? "/" : ".";
  if (fstat(target.folder, &target.folder_info) != 0) return errno;
  return !absolute && target.folder_info.st_nlink == 0 ? ESTALE : 0;
}

// Follows `path` one part at a time from the current folder, each symbolic
// link once, judging every step with judgeStep, to the folder of its last
// part. Each part is opened without following it, and judged, and a link
// read, through that one descriptor. A step into a mount point is taken,
// since no user but root makes one; but a link on a file system mounted
// nosuid (a stick, an image anyone can make, where any object may claim to
// be root's) is followed only as long as the walk stays there. The last
// part is looked at, not opened for use.
int walkFrom(const char* path, Target& target) {
  std::string todo = path;
  if (const int error = openStart(todo[0] == '/', target); error != 0) return error;
  struct stat previous = target.folder_info;
  std::string previous_where = target.folder_where;
  int links = 0;
  dev_t confined = 0;  // the nosuid file system a link there keeps the walk on
  std::string confining;
  const auto stays = [&](const struct stat& to, const std::string& to_where) {
    if (confining.empty() || to.st_dev == confined) return 0;
    refuse(target, confining + " is on a file system mounted nosuid, where owners prove nothing, and leads off it to " +
                       to_where + "; not followed");
    return EPERM;
  };
  for (std::size_t at = 0;;) {
    while (at < todo.size() && todo[at] == '/') ++at;
    const std::size_t end = std::min(todo.find('/', at), todo.size());
    const std::string part = todo.substr(at, end - at);
    std::size_t rest = end;
    while (rest < todo.size() && todo[rest] == '/') ++rest;
    const bool last = rest == todo.size();
    if (part.empty() || (part == "." && last)) return EISDIR;
    at = end;
    if (part == ".") continue;
    const std::string where = named(target.folder_where, part);
    Descriptor next(openat(target.folder, part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat entry;
    if (next.fd < 0) {
      if (errno != ENOENT || !last || part == "..") return errno;
      target.name = part;
      return 0;
    }
    if (fstat(next.fd, &entry) != 0) return errno;
    if (const int error = stays(entry, where); error != 0) return error;
    if (S_ISLNK(entry.st_mode)) {
      if (const int error = judgeStep(target, previous_where, previous, where, entry); error != 0) return error;
      if (++links > kMaxLinks) return ELOOP;
      char link[PATH_MAX];
      const ssize_t size = readlinkat(next.fd, "", link, sizeof link);
      if (size < 0) return errno;
      if (size == 0 || static_cast<std::size_t>(size) == sizeof link) return size == 0 ? ENOENT : ENAMETOOLONG;
      struct statvfs media;
      if (confining.empty() && fstatvfs(target.folder, &media) == 0 && (media.f_flag & ST_NOSUID) != 0)
        confined = entry.st_dev, confining = where;
      todo = std::string(link, static_cast<std::size_t>(size)) + "/" + todo.substr(rest);
      if (last) todo.pop_back();
      at = 0;
      previous = entry;
      previous_where = where;
      if (link[0] == '/') {
        if (const int error = openStart(true, target); error != 0) return error;
        if (const int error = judgeStep(target, previous_where, previous, "/", target.folder_info); error != 0)
          return error;
        if (const int error = stays(target.folder_info, "/"); error != 0) return error;
        previous = target.folder_info;
        previous_where = "/";
      }
      continue;
    }
    if (last && part != "..") {
      target.name = part;
      target.exists = true;
      target.info = entry;
      return 0;
    }
    if (!S_ISDIR(entry.st_mode)) return ENOTDIR;
    // A folder of this user's own, reached by a plain entry rather than a
    // link, was put there by this user: the owner of the folder it stands in
    // may rename entries there, but cannot make a folder of someone else's.
    // Root keeps to the stricter rule: no step from another user's folder.
    const bool own = part != ".." && geteuid() != 0 && entry.st_uid == geteuid();
    if (!own && (part == ".." || entry.st_dev == target.folder_info.st_dev))
      if (const int error = judgeStep(target, previous_where, previous, where, entry); error != 0) return error;
    replaceDescriptor(target.folder, next.take());
    previous = target.folder_info = entry;
    previous_where = target.folder_where = where;
    if (last) return EISDIR;
  }
}

// Walks to `path`'s folder. Where the folder the session started in has
// gone on the way (a stick pulled, then plugged back in and mounted at the
// same place), it is found again by its path, or the refusal says to start
// the program again there.
int walk(const char* path, Target& target) {
  const int error = walkFrom(path, target);
  if (path[0] == '/' || !gone(error)) return error;
  if (startedIn().empty() || chdir(startedIn().c_str()) != 0) {
    refuse(target, "the folder the program started in" + (startedIn().empty() ? "" : ", " + startedIn() + ",") +
                       " has gone; start the program again there");
    return error;
  }
  target.refusal[0] = '\0';
  target.name.clear();
  target.exists = false;
  return walkFrom(path, target);
}

// Judges the file the walk found, seen as `file`, against its folder: a file
// another user could have steered this one to is refused (EPERM, with the
// refusal in words), as is anything but a file or a device (EISDIR for a
// folder, otherwise EINVAL, "not a file"). A plain file with one name that
// is this user's own is theirs to use, whoever owns the folder. A file with
// several names in a folder that others may write could be another user's
// file linked there, whatever fs.protected_hardlinks says: that is refused
// too.
int judgeFile(Target& target, const struct stat& file) {
  if (S_ISDIR(file.st_mode)) return EISDIR;
  if (!S_ISREG(file.st_mode) && !S_ISCHR(file.st_mode)) {
    refuse(target, "not a file");
    return EINVAL;
  }
  const std::string where = named(target.folder_where, target.name);
  const bool own_plain_file = S_ISREG(file.st_mode) && file.st_nlink == 1 && file.st_uid == geteuid();
  if (!own_plain_file)
    if (const int error = judgeStep(target, target.folder_where, target.folder_info, where, file); error != 0)
      return error;
  if (S_ISREG(file.st_mode) && file.st_nlink > 1 && (target.folder_info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    refuse(target, where + " has " + std::to_string(file.st_nlink) +
                       " names in a folder others may write; not used, as another user could have linked it there");
    return EPERM;
  }
  return 0;
}

// Whether the folder lets no entry be removed or replaced (Linux's
// append-only and immutable flags), so that no copy or backup is made there:
// it could never take its name, nor be removed again. A folder its user may
// not read (a drop box), or a file system without such flags, is taken to
// have none. Returns 0, or the error that kept the folder from being opened.
int readFolderFlags(Target& target) {
#if defined(FS_IOC_GETFLAGS) && defined(FS_APPEND_FL)
  const Descriptor folder(openat(target.folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.fd < 0) return errno == EACCES || errno == EPERM ? 0 : errno;
  int flags = 0;
  target.keeps_entries = ioctl(folder.fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & (FS_APPEND_FL | FS_IMMUTABLE_FL)) != 0;
#endif
  return 0;
}

// ---- Carrying over -----------------------------------------------------------

// Writes all of `bytes` at `offset` of `fd`, or where `at_offset` is false
// (a device, which may not seek) wherever it stands.
Moved writeAll(int fd, std::string_view bytes, off_t offset, bool at_offset = true) {
  Moved moved;
  while (moved.done < bytes.size()) {
    const std::size_t left = bytes.size() - moved.done;
    const ssize_t n = at_offset ? pwrite(fd, bytes.data() + moved.done, left, offset + static_cast<off_t>(moved.done))
                                : write(fd, bytes.data() + moved.done, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      moved.error = n < 0 ? static_cast<SystemError>(errno) : EIO;
      break;
    }
    moved.done += static_cast<std::size_t>(n);
  }
  return moved;
}

// Gives `fd` the permission bits `mode`. A change that would change nothing
// is no failure, also where the file system takes none (FAT through FUSE).
int giveMode(int fd, mode_t mode) {
  if (fchmod(fd, mode) == 0) return 0;
  const int error = errno;
  struct stat made;
  return fstat(fd, &made) == 0 && (made.st_mode & 07777) == mode ? 0 : error;
}

// The name of the ACL that decides who may use a file.
constexpr char kAccessAcl[] = "system.posix_acl_access";

// Gives the new file `copy` all that the old one `old_fd` has beyond its
// bytes: owner and group, extended attributes (its ACL among them, and no
// ACL where it has none: the copy may have inherited one from the folder)
// and permission bits. Returns why it cannot, and then the copy must not
// take the old file's place: the file is written in place instead, which
// keeps all of them.
int carryOver(int copy, int old_fd, const struct stat& old) {
  // Only a privileged process may give a file away; whether this one could
  // is seen from the file itself.
  [[maybe_unused]] const int refused = fchown(copy, old.st_uid, old.st_gid);
  struct stat made;
  if (fstat(copy, &made) != 0) return errno;
  if (made.st_uid != old.st_uid || made.st_gid != old.st_gid) return EPERM;
  const ssize_t size = flistxattr(old_fd, nullptr, 0);
  if (size < 0 && errno != ENOTSUP) return errno;
  std::vector<char> names(size > 0 ? static_cast<std::size_t>(size) : 0);
  const ssize_t listed = size > 0 ? flistxattr(old_fd, names.data(), names.size()) : 0;
  if (listed < 0) return errno;
  bool has_acl = false;
  std::vector<char> value;
  for (const char* name = names.data(); name < names.data() + listed; name += std::strlen(name) + 1) {
    has_acl = has_acl || std::strcmp(name, kAccessAcl) == 0;
    const ssize_t length = fgetxattr(old_fd, name, nullptr, 0);
    if (length < 0) return errno;
    value.resize(static_cast<std::size_t>(length));
    const ssize_t got = fgetxattr(old_fd, name, value.data(), value.size());
    if (got < 0 || fsetxattr(copy, name, value.data(), static_cast<std::size_t>(got), 0) != 0) return errno;
  }
  if (!has_acl) {
    if (fgetxattr(copy, kAccessAcl, nullptr, 0) >= 0) {
      if (fremovexattr(copy, kAccessAcl) != 0) return errno;
    } else if (errno != ENODATA && errno != ENOTSUP) {
      return errno;
    }
  }
  return giveMode(copy, old.st_mode & 07777);
}

// The name the backup of the target takes beside it.
std::string backupNameOf(const Target& target) { return target.name + std::string(kBackupSuffix); }

// Renames `from` to `to` in `folder` only where nothing is at `to`: a
// vanished file's copy never replaces what took its name meanwhile, as on
// Windows. A file system that cannot tell (EINVAL: some FUSE drivers) is
// given the plain rename, as the name was free a moment ago.
int renameFresh(int folder, const char* from, const std::string& to) {
#ifdef RENAME_NOREPLACE
  const int renamed = renameat2(folder, from, folder, to.c_str(), RENAME_NOREPLACE);
  if (renamed == 0 || errno != EINVAL) return renamed;
#endif
  return renameat(folder, from, folder, to.c_str());
}

}  // namespace

// ---- The steps ---------------------------------------------------------------

Target::~Target() {
  for (const int fd : {folder, file})
    if (fd >= 0) close(fd);
}

SystemError findFile(const char* path, Target& target) {
  target.path = path;
  if (const int error = walk(path, target); error != 0 || !target.exists) return error;
  // O_NONBLOCK keeps a FIFO swapped in from stalling the open; anything but
  // a file or a device is then refused. Opening for writing asks the system
  // whether this user may write it.
  target.file = openat(target.folder, target.name.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (target.file < 0 || fstat(target.file, &target.info) != 0) return errno;
  if (const int error = judgeFile(target, target.info); error != 0) return error;
  // A file without any write bit is read-only, even to root, as the
  // read-only attribute is on Windows.
  const mode_t mode = target.info.st_mode;
  if (S_ISREG(mode) && (mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return EACCES;
  target.device = !S_ISREG(mode);
  if (target.device) return 0;
  if (const int error = readFolderFlags(target); error != 0) return error;
  // Every other name of a hard-linked file must see the new contents, which
  // only writing in place gives.
  target.in_place = target.info.st_nlink != 1 || target.keeps_entries;
  return 0;
}

SystemError judgeBackupName(Target& target) {
  if (target.keeps_entries) return EPERM;
  struct stat at_name;
  if (fstatat(target.folder, backupNameOf(target).c_str(), &at_name, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT ? 0 : errno;
  if (S_ISDIR(at_name.st_mode)) return EISDIR;
  // In a sticky folder only its owner and a file's own may replace the file.
  const bool sticky = (target.folder_info.st_mode & S_ISVTX) != 0;
  const uid_t me = geteuid();
  return sticky && me != 0 && at_name.st_uid != me && target.folder_info.st_uid != me ? EPERM : 0;
}

SystemError makeTemporary(Target& target, Made made, std::string_view bytes, char (&name)[kNameSize]) {
  const std::string stem = made == Made::kBackup ? backupNameOf(target) : target.name;
  Descriptor file;
  for (int attempt = 0; attempt < 100 && file.fd < 0; ++attempt) {
    if (!temporaryName(stem, name)) errno = ENAMETOOLONG;
    file.fd = name[0] == '\0' ? -1
                              : openat(target.folder, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                       made == Made::kFresh ? 0666 : 0600);
    if (file.fd < 0 && errno != EEXIST) break;
  }
  if (file.fd < 0) {
    const int error = errno;
    name[0] = '\0';
    return error;
  }
  int error = 0;
  if (made == Made::kCopy) error = carryOver(file.fd, target.file, target.info);
  if (made == Made::kBackup) {
    error = giveMode(file.fd, target.info.st_mode & 0777);
    [[maybe_unused]] const int refused = fchown(file.fd, target.info.st_uid, target.info.st_gid);
  }
  if (error == 0) error = static_cast<int>(writeAll(file.fd, bytes, 0).error);
  if (error == 0 && fsync(file.fd) != 0) error = errno;
  if (!file.release() && error == 0) error = errno;
  return static_cast<SystemError>(error);
}

SystemError moveIntoPlace(Target& target, char (&name)[kNameSize], Into into) {
  const std::string to = into == Into::kBackup ? backupNameOf(target) : target.name;
  const bool fresh = into == Into::kFile && !target.exists;
  if ((fresh ? renameFresh(target.folder, name, to) : renameat(target.folder, name, target.folder, to.c_str())) != 0)
    return errno;
  name[0] = '\0';
  return 0;
}

// Flushes the folder to the disk, so that a rename in it survives a power
// cut. A folder its user may not read cannot be opened to be flushed, and a
// file system that cannot flush a folder says so: neither is a failure, as
// the file is already in place; an I/O error is. Closing the folder, which
// was only read, can lose nothing.
SystemError settle(Target& target, Into) {
  const Descriptor folder(openat(target.folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.fd < 0) return errno == EACCES || errno == EPERM ? 0 : errno;
  return fsync(folder.fd) == 0 || errno == EINVAL ? 0 : errno;
}

// Read through a second descriptor, opened as the first was.
SystemError readOld(Target& target, Buffer& bytes) {
  const Descriptor reader(openat(target.folder, target.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat info;
  if (reader.fd < 0 || fstat(reader.fd, &info) != 0) return errno;
  if (info.st_dev != target.info.st_dev || info.st_ino != target.info.st_ino) return EAGAIN;  // swapped meanwhile
  for (std::size_t got = 0;;) {
    if (got >= kMaxOldBytes) return EFBIG;
    if (!bytes.grow(got + 64 * 1024)) return ENOMEM;
    const ssize_t n = pread(reader.fd, bytes.data + got, bytes.size - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    got += static_cast<std::size_t>(n);
    if (n == 0) return bytes.grow(got) ? 0 : ENOMEM;
  }
}

Moved writeAt(Target& target, std::string_view bytes, std::uint64_t offset) {
  return writeAll(target.file, bytes, static_cast<off_t>(offset), !target.device);
}

SystemError cutAt(Target& target, std::uint64_t size) {
  return ftruncate(target.file, static_cast<off_t>(size)) == 0 ? 0 : errno;
}

SystemError flushAndClose(Target& target, bool flush) {
  const int error = flush && fsync(target.file) != 0 ? errno : 0;
  const int fd = std::exchange(target.file, -1);
  return close(fd) != 0 && error == 0 ? errno : error;
}

bool removeTemporary(Target& target, char (&name)[kNameSize]) {
  if (name[0] == '\0') return true;
  if (unlinkat(target.folder, name, 0) != 0 && errno != ENOENT) return false;
  name[0] = '\0';
  return true;
}

bool noRoom(SystemError error) { return error == ENOSPC || error == EDQUOT; }

unsigned long long nameSeed() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<unsigned long long>(now.tv_nsec) ^ (static_cast<unsigned long long>(getpid()) << 20) ^
         static_cast<unsigned long long>(now.tv_sec);
}

// No program holds a file here: POSIX locks only advise.
bool heldElsewhere(SystemError) { return false; }

void systemWords(SystemError error, char (&words)[kWordsSize]) {
  std::snprintf(words, sizeof words, "%s", std::strerror(static_cast<int>(error)));
}

int openToRead(const char* path, char (&words)[kWordsSize]) {
  words[0] = '\0';
  Target target;
  int error = walk(path, target);
  if (error == 0 && !target.exists) error = ENOENT;
  // Judged before it is opened, so that nothing another user put there (a
  // FIFO with a writer waiting, a device) is ever opened.
  if (error == 0) error = judgeFile(target, target.info);
  Descriptor file;
  struct stat opened;
  if (error == 0) {
    file.fd = openat(target.folder, target.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (file.fd < 0 || fstat(file.fd, &opened) != 0) error = errno;
  }
  // Another file that took the name since it was judged is not read.
  if (error == 0 && (opened.st_dev != target.info.st_dev || opened.st_ino != target.info.st_ino)) error = EAGAIN;
  if (error == 0) return file.take();
  systemWords(static_cast<SystemError>(error), words);
  if (target.refusal[0] != '\0') std::snprintf(words, sizeof words, "%s", target.refusal);
  return -1;
}
