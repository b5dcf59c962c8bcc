// POSIX side of file_writer.h. Every step works on descriptors: the folder
// the name leads to is opened once, and the file in it is judged by a
// descriptor of the very object that is then replaced or written, so that
// nothing swapped in between two looks at a name is ever written.
#include "platform/file_writer.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <fcntl.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/xattr.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/fs.h>
#endif
#ifndef O_PATH
#define O_PATH O_RDONLY  // where folders cannot be opened as bare paths
#endif

namespace {

// A descriptor closed when it goes out of scope, unless it was closed on
// purpose first (whose result then counts).
struct Descriptor {
  int fd = -1;
  Descriptor() = default;
  explicit Descriptor(int opened) : fd(opened) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() { release(); }
  void reset(int opened) {
    release();
    fd = opened;
  }
  // Closes it now; false with errno set if the close failed.
  bool release() {
    const int open_fd = fd;
    fd = -1;
    return open_fd < 0 || close(open_fd) == 0;
  }
};

// ---- Finding the file --------------------------------------------------------

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

// The folder a path leads to, opened as a path, and the last part's name in
// it; or, where a step was not taken, why, in words.
struct Place {
  Descriptor folder;
  struct stat folder_info {};
  std::string folder_where;  // the folder as the walk reached it: "hvn/ini"
  std::string name;
  bool exists = false;
  struct stat info {};  // of the last part, where it exists
  std::string refusal;
};

// Judges a step of the walk from `from` to `to`, each named as the walk
// reached it. One from something another unprivileged user owns (neither
// root nor this user) to something someone else owns is not taken, since
// that user could have pointed it anywhere; one from this user's or root's
// is. Returns EPERM, with the refusal in words, or 0.
int judgeStep(Place& place, const std::string& from_where, const struct stat& from, const std::string& to_where,
              const struct stat& to) {
  if (from.st_uid == 0 || from.st_uid == geteuid() || from.st_uid == to.st_uid) return 0;
  place.refusal = from_where + " is " + whose(from.st_uid) + " and leads to " + to_where + ", which is " +
                  whose(to.st_uid) + "; not followed, as " + ownerOf(from.st_uid) + " could have pointed it anywhere";
  return EPERM;
}

// `part` named after the folder `where`, as the walk reached it.
std::string named(const std::string& where, const std::string& part) {
  if (where.empty() || where == ".") return part;
  return where == "/" ? "/" + part : where + "/" + part;
}

constexpr int kMaxLinks = 40;  // as the kernel's own limit

// Opens the root or the current folder, where a walk starts or a link's
// absolute target sends it.
int openStart(bool absolute, Descriptor& at, struct stat& info) {
  at.reset(open(absolute ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (at.fd < 0) return errno;
  return fstat(at.fd, &info) == 0 ? 0 : errno;
}

// Follows `path` one part at a time from the current folder, each symbolic
// link once, judging every step with judgeStep, to the folder of its last
// part. A step into a mount point is taken, since no user but root makes
// one. The last part is looked at but not opened.
int findPlace(const char* path, Place& place) {
  std::string todo = path;
  struct stat previous {};
  std::string previous_where = todo[0] == '/' ? "/" : ".";
  if (const int error = openStart(todo[0] == '/', place.folder, previous); error != 0) return error;
  place.folder_info = previous;
  place.folder_where = previous_where;
  int links = 0;
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
    const std::string where = named(place.folder_where, part);
    struct stat entry;
    if (part != ".." && fstatat(place.folder.fd, part.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT || !last) return errno;
      place.name = part;
      return 0;
    }
    // A link is judged here, a folder once opened, the file by judgeFile.
    if (part != ".." && S_ISLNK(entry.st_mode)) {
      if (const int error = judgeStep(place, previous_where, previous, where, entry); error != 0) return error;
      if (++links > kMaxLinks) return ELOOP;
      char target[PATH_MAX];
      const ssize_t size = readlinkat(place.folder.fd, part.c_str(), target, sizeof target);
      if (size < 0) return errno;
      if (size == 0 || static_cast<std::size_t>(size) == sizeof target) return size == 0 ? ENOENT : ENAMETOOLONG;
      todo = std::string(target, static_cast<std::size_t>(size)) + "/" + todo.substr(rest);
      if (last) todo.pop_back();
      at = 0;
      previous = entry;
      previous_where = where;
      if (target[0] == '/') {
        struct stat root;
        if (const int error = openStart(true, place.folder, root); error != 0) return error;
        if (const int error = judgeStep(place, previous_where, previous, "/", root); error != 0) return error;
        previous = place.folder_info = root;
        previous_where = place.folder_where = "/";
      }
      continue;
    }
    if (last && part != "..") {
      place.name = part;
      place.exists = true;
      place.info = entry;
      return 0;
    }
    Descriptor next(openat(place.folder.fd, part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat info;
    if (next.fd < 0 || fstat(next.fd, &info) != 0) return errno;
    // A folder of this user's own, reached by a plain entry rather than a
    // link, was put there by this user: the owner of the folder it stands in
    // may rename entries there, but cannot make a folder of someone else's.
    // Root keeps to the stricter rule: no step from another user's folder.
    const bool own = part != ".." && geteuid() != 0 && info.st_uid == geteuid();
    if (!own && (part == ".." || info.st_dev == place.folder_info.st_dev))
      if (const int error = judgeStep(place, previous_where, previous, where, info); error != 0) return error;
    place.folder.reset(next.fd);
    next.fd = -1;
    previous = place.folder_info = info;
    previous_where = place.folder_where = where;
    if (last) return EISDIR;
  }
}

// ---- Judging the file --------------------------------------------------------

// Judges the file the walk found, open as `file`, against its folder: a file
// another user could have steered this one to is refused (EPERM, with the
// refusal in words), as is anything but a file or a device (EISDIR for a
// folder, otherwise EINVAL, "not a file"). A plain file with one name that is this user's own is
// theirs to use, whoever owns the folder. A file with several names in a
// folder that others may write could be another user's file linked there,
// whatever fs.protected_hardlinks says: that is refused too.
int judgeFile(Place& place, const struct stat& file) {
  if (S_ISDIR(file.st_mode)) return EISDIR;
  if (!S_ISREG(file.st_mode) && !S_ISCHR(file.st_mode)) {
    place.refusal = "not a file";
    return EINVAL;
  }
  const bool own_plain_file = S_ISREG(file.st_mode) && file.st_nlink == 1 && file.st_uid == geteuid();
  if (!own_plain_file)
    if (const int error = judgeStep(place, place.folder_where, place.folder_info, named(place.folder_where, place.name), file);
        error != 0)
      return error;
  if (S_ISREG(file.st_mode) && file.st_nlink > 1 && (place.folder_info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    place.refusal = named(place.folder_where, place.name) + " has " + std::to_string(file.st_nlink) +
                    " names in a folder others may write; not used, as another user could have linked it there";
    return EPERM;
  }
  return 0;
}

// ---- Writing in place --------------------------------------------------------

// Writes all of `contents` at `offset` of the file. Returns 0 or the error.
int writeAt(int fd, std::string_view contents, off_t offset) {
  while (!contents.empty()) {
    const ssize_t n = pwrite(fd, contents.data(), contents.size(), offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;
    contents.remove_prefix(static_cast<std::size_t>(n));
    offset += n;
  }
  return 0;
}

// Blank lines, which a menu reader skips: a lone LF where the count is odd,
// then CR LF pairs.
constexpr std::size_t kBlankBlockSize = 16 * 1024;
const char* blankBlock() {
  static char block[kBlankBlockSize];
  if (block[0] == '\0')
    for (std::size_t i = 0; i < kBlankBlockSize; ++i) block[i] = i % 2 == 0 ? '\r' : '\n';
  return block;
}

// Writes `contents` followed by `blanks` blank-line bytes at `offset`, in one
// call where the blanks fit in IOV_MAX blocks (any file of menu size does),
// so that no moment shows the one without the other. `written` counts the
// bytes that went in, also when a later call fails.
int writeWithBlanks(int fd, std::string_view contents, std::size_t blanks, off_t offset, std::size_t& written) {
  iovec pieces[IOV_MAX];
  int count = 0;
  std::size_t left = blanks;
  if (!contents.empty()) pieces[count++] = {const_cast<char*>(contents.data()), contents.size()};
  if (left % 2 == 1) {
    pieces[count++] = {const_cast<char*>(blankBlock() + 1), 1};  // "\n"
    --left;
  }
  while (left > 0 && count < IOV_MAX) {
    const std::size_t size = std::min(left, kBlankBlockSize);
    pieces[count++] = {const_cast<char*>(blankBlock()), size};
    left -= size;
  }
  for (int first = 0; first < count;) {
    const ssize_t n = pwritev(fd, pieces + first, count - first, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;
    offset += n;
    written += static_cast<std::size_t>(n);
    for (std::size_t done = static_cast<std::size_t>(n); done > 0 && first < count;) {
      const std::size_t taken = std::min(done, pieces[first].iov_len);
      pieces[first].iov_base = static_cast<char*>(pieces[first].iov_base) + taken;
      pieces[first].iov_len -= taken;
      done -= taken;
      if (pieces[first].iov_len == 0) ++first;
    }
  }
  return left == 0 ? 0 : writeWithBlanks(fd, {}, left, offset, written);
}

// Overwrites the open file `fd`, of `old_size` bytes, with `contents`,
// never leaving it half-way: it first grows to the new length by blank
// lines (taken back if there is no room), then the new contents, padded
// with blank lines to the old length, are written in one call, and only
// then is it cut to the new length and flushed. A kill at any point leaves
// the old menu or the new one, followed at most by blank lines. A write cut
// short that then fails (a full disk, a quota: a copy-on-write file system
// needs room even to overwrite) puts `old`, the old bytes, back; `mixed`
// says when even that failed, and the file holds neither menu.
int overwrite(int fd, std::string_view old, std::string_view contents, bool& mixed) {
  const off_t old_size = static_cast<off_t>(old.size());
  const off_t new_size = static_cast<off_t>(contents.size());
  std::size_t written = 0;
  if (new_size > old_size) {
    if (const int error = writeWithBlanks(fd, {}, static_cast<std::size_t>(new_size - old_size), old_size, written);
        error != 0) {
      // Should taking the blank lines back fail too, they are only blank.
      [[maybe_unused]] const int taken_back = ftruncate(fd, old_size);
      return error;
    }
  }
  const std::size_t blanks = old_size > new_size ? static_cast<std::size_t>(old_size - new_size) : 0;
  written = 0;
  int error = writeWithBlanks(fd, contents, blanks, 0, written);
  if (error != 0 && written > 0) mixed = writeAt(fd, old, 0) != 0;
  if (error == 0 && blanks > 0 && ftruncate(fd, new_size) != 0) error = errno;
  if (error == 0 && fsync(fd) != 0) error = errno;
  return error;
}

// Writes `contents` into the device or file open as `fd`; `old` holds the
// file's bytes as they were.
int writeInPlace(int fd, const struct stat& file, std::string_view old, std::string_view contents, bool& mixed) {
  if (S_ISCHR(file.st_mode)) {
    while (!contents.empty()) {
      const ssize_t n = write(fd, contents.data(), contents.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return n < 0 ? errno : EIO;
      contents.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
  }
  return overwrite(fd, old, contents, mixed);
}

// ---- Carrying over -----------------------------------------------------------

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
  return fchmod(copy, old.st_mode & 07777) == 0 ? 0 : errno;
}

// ---- What takes a file's place -----------------------------------------------

// Reads the file open as `fd` from its start, block by block, handing each
// block and its offset to `take` until it returns an error. Returns 0 or
// the error.
template <typename Take>
int readWhole(int fd, Take take) {
  std::vector<char> block(64 * 1024);
  for (off_t offset = 0;;) {
    const ssize_t n = pread(fd, block.data(), block.size(), offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : 0;
    if (const int error = take(std::string_view(block.data(), static_cast<std::size_t>(n)), offset); error != 0)
      return error;
    offset += n;
  }
}

// How a file's new contents take its place.
enum class Way {
  kCopy,     // a copy is renamed over it
  kInPlace,  // it is written in place
  kCreate,   // it has vanished: a new file takes its name
};

// A file made ready to change: found and judged, its new contents (for a
// copy) and its backup written and flushed beside it under temporary names.
struct Ready {
  Place place;
  Descriptor file;  // the old file, open for writing; none when it vanished
  struct stat old {};
  Way way = Way::kCreate;
  std::string copy;    // the temporary name of the new contents, if any
  std::string backup;  // the temporary name of the old contents, if any
  bool mixed = false;  // written in place, cut short, and the old bytes not put back
};

// Reads the old file at `ready`'s place whole, through a second descriptor
// of the same file, opened as the first was. Returns 0 or why it could not.
int readOldBytes(const Ready& ready, std::vector<char>& bytes) {
  const Place& place = ready.place;
  const Descriptor reader(openat(place.folder.fd, place.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat info;
  if (reader.fd < 0 || fstat(reader.fd, &info) != 0) return errno;
  if (info.st_dev != ready.old.st_dev || info.st_ino != ready.old.st_ino) return EAGAIN;  // swapped meanwhile
  bytes.clear();
  return readWhole(reader.fd, [&](std::string_view block, off_t) {
    bytes.insert(bytes.end(), block.begin(), block.end());
    return 0;
  });
}

// ---- Making the copy ---------------------------------------------------------

// Whether the folder lets no entry be removed or replaced (Linux's
// append-only and immutable flags), so that no copy or backup is made there:
// it could never take its name, nor be removed again. A folder its user may
// not read (a drop box), or a file system without such flags, is taken to
// have none. Returns 0, or the error that kept the folder from being opened.
int folderKeepsEntries(const Place& place, bool& keeps) {
  keeps = false;
#if defined(FS_IOC_GETFLAGS) && defined(FS_APPEND_FL)
  const Descriptor folder(openat(place.folder.fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.fd < 0) return errno == EACCES || errno == EPERM ? 0 : errno;
  int flags = 0;
  keeps = ioctl(folder.fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & (FS_APPEND_FL | FS_IMMUTABLE_FL)) != 0;
#else
  (void)place;
#endif
  return 0;
}

// Flushes the folder to the disk, so that a rename in it survives a power
// cut. A folder its user may not read cannot be opened to be flushed, and a
// file system that cannot flush a folder says so: neither is a failure, as
// the file is already in place; an I/O error is. Closing the folder, which
// was only read, can lose nothing.
int flushFolder(const Place& place) {
  const Descriptor folder(openat(place.folder.fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.fd < 0) return errno == EACCES || errno == EPERM ? 0 : errno;
  return fsync(folder.fd) == 0 || errno == EINVAL ? 0 : errno;
}

// Creates a new file beside the one at `place`, named after `stem` so that
// one left by a power cut says what it holds ("apps.ini.k3F9xQ", the new
// menu; "apps.ini.bak.k3F9xQ", the old), never through a link. Returns its
// descriptor, with its name in `name`, or -1 with errno set and `name` empty.
int createTemporary(const Place& place, std::string_view stem, std::string& name, mode_t mode) {
  static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  static unsigned long serial = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    unsigned long mixed = static_cast<unsigned long>(now.tv_nsec) ^ (static_cast<unsigned long>(getpid()) << 20) ^
                          (serial++ * 2654435761UL);
    name.assign(stem).append(".");
    for (int digit = 0; digit < 6; ++digit, mixed /= 62) name += kDigits[mixed % 62];
    const int fd = openat(place.folder.fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0) return fd;
    if (errno != EEXIST) break;
  }
  if (errno == EEXIST || name.empty()) errno = EEXIST;
  const int error = errno;
  name.clear();
  errno = error;
  return -1;
}

// Removes the temporary file `name` beside the file at `place`, if any.
// False when it is still there.
bool removeTemporary(const Place& place, std::string& name) {
  if (name.empty()) return true;
  if (unlinkat(place.folder.fd, name.c_str(), 0) != 0 && unlinkat(place.folder.fd, name.c_str(), 0) != 0 &&
      errno != ENOENT)
    return false;
  name.clear();
  return true;
}

// Writes `contents` to a new file beside the one at `place`, flushed and
// closed, its name in `name`. Given `like`, the old file, the copy takes all
// it has beyond its bytes; otherwise it is made as any new file is.
int writeCopy(const Place& place, std::string_view contents, const Ready* like, std::string& name) {
  Descriptor copy(createTemporary(place, place.name, name, like != nullptr ? 0600 : 0666));
  if (copy.fd < 0) return errno;
  int error = like != nullptr ? carryOver(copy.fd, like->file.fd, like->old) : 0;
  if (error == 0) error = writeAt(copy.fd, contents, 0);
  if (error == 0 && fsync(copy.fd) != 0) error = errno;
  if (!copy.release() && error == 0) error = errno;
  return error;
}

// ---- The backup --------------------------------------------------------------

// The name the backup of the file at `place` takes beside it.
std::string backupNameOf(const Place& place) { return place.name + std::string(kBackupSuffix); }

// Whether a backup may take its name beside the file at `place`: not over a
// folder, nor, in a sticky folder, over another user's file this user may
// not replace. Judged before either file changes, so that such a name stops
// the save with nothing written rather than half-way. Returns 0 or the error
// the rename would meet.
int judgeBackupName(const Place& place) {
  struct stat at_name;
  if (fstatat(place.folder.fd, backupNameOf(place).c_str(), &at_name, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT ? 0 : errno;
  if (S_ISDIR(at_name.st_mode)) return EISDIR;
  const bool sticky = (place.folder_info.st_mode & S_ISVTX) != 0;
  const uid_t me = geteuid();
  return sticky && me != 0 && at_name.st_uid != me && place.folder_info.st_uid != me ? EPERM : 0;
}

// Where the old file holds anything but blank lines and is to change, copies
// its bytes beside it, flushed, with its permission bits and, where this user
// may give it, its owner and group. Read through a second descriptor of the
// same file, opened as the first was. Returns 0, or why the file could not be
// read or (with `backup_failed`) no backup could be made.
int writeBackup(Ready& ready, std::string_view contents, bool folder_keeps_entries, bool& backup_failed) {
  const Place& place = ready.place;
  const Descriptor reader(openat(place.folder.fd, place.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat info;
  if (reader.fd < 0 || fstat(reader.fd, &info) != 0) return errno;
  if (info.st_dev != ready.old.st_dev || info.st_ino != ready.old.st_ino) return EAGAIN;  // swapped meanwhile
  OldBytes old;
  old.differs = static_cast<std::uint64_t>(ready.old.st_size) < contents.size();
  if (const int error = readWhole(reader.fd, [&](std::string_view block, off_t offset) {
        judgeOldBytes(old, block, static_cast<std::uint64_t>(offset), contents);
        return 0;
      });
      error != 0)
    return error;
  if (!old.holds_text || !old.differs) return 0;
  backup_failed = true;
  // The backup could never take its name there.
  if (folder_keeps_entries) return EPERM;
  if (const int error = judgeBackupName(place); error != 0) return error;
  Descriptor copy(createTemporary(place, backupNameOf(place), ready.backup, 0600));
  if (copy.fd < 0) return errno;
  int error = fchmod(copy.fd, ready.old.st_mode & 0777) == 0 ? 0 : errno;
  [[maybe_unused]] const int refused = fchown(copy.fd, ready.old.st_uid, ready.old.st_gid);
  if (error == 0)
    error = readWhole(reader.fd, [&](std::string_view block, off_t offset) { return writeAt(copy.fd, block, offset); });
  if (error == 0 && fsync(copy.fd) != 0) error = errno;
  if (!copy.release() && error == 0) error = errno;
  backup_failed = error != 0;
  return error;
}

// ---- Making ready: the decision ----------------------------------------------

// Finds and judges the file to replace, and makes ready what takes its place.
// The file itself is judged here, by its own descriptor. Returns 0 or why it
// cannot be written; `backup_failed` says when that is its backup.
int makeReady(const FileReplacement& file, Ready& ready, bool& backup_failed) {
  Place& place = ready.place;
  if (const int error = findPlace(file.path, place); error != 0) return error;
  // Vanished since the start: made anew in its own folder, never through a
  // link that has taken its name since.
  if (!place.exists) return writeCopy(place, file.contents, nullptr, ready.copy);
  // O_NONBLOCK keeps a FIFO swapped in from stalling the open; anything but
  // a file or a device is then refused. Opening for writing asks the system
  // whether this user may write it.
  ready.file.reset(openat(place.folder.fd, place.name.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (ready.file.fd < 0 || fstat(ready.file.fd, &ready.old) != 0) return errno;
  if (const int error = judgeFile(place, ready.old); error != 0) return error;
  // A file without any write bit is read-only, even to root, as the
  // read-only attribute is on Windows.
  if (S_ISREG(ready.old.st_mode) && (ready.old.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return EACCES;
  ready.way = Way::kInPlace;
  if (!S_ISREG(ready.old.st_mode)) return 0;  // a device: nothing to keep, only to write to
  bool keeps_entries = false;
  if (const int error = folderKeepsEntries(place, keeps_entries); error != 0) return error;
  if (file.backup)
    if (const int error = writeBackup(ready, file.contents, keeps_entries, backup_failed); error != 0) return error;
  // Every other name of a hard-linked file must see the new contents, which
  // only writing in place gives.
  if (ready.old.st_nlink != 1 || keeps_entries) return 0;
  ready.way = Way::kCopy;
  const int error = writeCopy(place, file.contents, &ready, ready.copy);
  // No copy can be made (a folder that takes no new file, a copy that could
  // not be given the old one's owner or attributes): the file is written in
  // place instead, unless the copy is left beside it or there was no room.
  if (error == 0) return 0;
  if (!removeTemporary(place, ready.copy)) return error;
  // Where there was no room for a copy there is none to overwrite in place
  // on a copy-on-write file system either; the file stays as it was.
  if (error == ENOSPC || error == EDQUOT) return error;
  ready.way = Way::kInPlace;
  return 0;
}

// ---- Taking its place --------------------------------------------------------

// Puts the backup at its name, then the new contents in the file's place.
// Returns 0 once the file holds them (`unflushed` then says whether the
// folder could not be flushed), or the error that kept them out
// (`backup_failed` says when the backup could not take its name).
int takePlace(Ready& ready, std::string_view contents, bool& backed_up, bool& backup_failed, int& unflushed) {
  const Place& place = ready.place;
  if (!ready.backup.empty()) {
    if (renameat(place.folder.fd, ready.backup.c_str(), place.folder.fd, backupNameOf(place).c_str()) != 0) {
      backup_failed = true;
      return errno;
    }
    ready.backup.clear();
    backed_up = true;
  }
  if (ready.way != Way::kInPlace) {
    if (renameat(place.folder.fd, ready.copy.c_str(), place.folder.fd, place.name.c_str()) == 0) {
      ready.copy.clear();
      unflushed = flushFolder(place);
      return 0;
    }
    // A bind-mounted file, another user's file in a sticky folder: no copy
    // can take its place, so it is written in place instead, unless the copy
    // is left beside it.
    const int error = errno;
    if (ready.way == Way::kCreate || !removeTemporary(place, ready.copy)) return error;
  }
  // The old bytes, kept to be put back should the write be cut short.
  std::vector<char> old;
  int error = S_ISREG(ready.old.st_mode) ? readOldBytes(ready, old) : 0;
  if (error != 0) return error;
  error = writeInPlace(ready.file.fd, ready.old, {old.data(), old.size()}, contents, ready.mixed);
  if (!ready.file.release() && error == 0) error = errno;
  if (error == 0 && backed_up) unflushed = flushFolder(place);
  return error;
}

// ---- Words -------------------------------------------------------------------

// Puts `words` in `buffer`, cut to fit.
void keepWords(std::string_view words, char (&buffer)[kWordsSize]) {
  buffer[words.copy(buffer, sizeof buffer - 1)] = '\0';
}

// Why a step or a file was not taken or written, in words: the program's
// refusal, where it made one, or the system's words for `error`.
std::string wordsFor(int error, const std::string& refusal) { return refusal.empty() ? std::strerror(error) : refusal; }

}  // namespace

int openToRead(const char* path, char (&words)[kWordsSize]) {
  words[0] = '\0';
  Place place;
  int error = findPlace(path, place);
  if (error == 0 && !place.exists) error = ENOENT;
  // Judged before it is opened, so that nothing another user put there (a
  // FIFO with a writer waiting, a device) is ever opened.
  if (error == 0) error = judgeFile(place, place.info);
  Descriptor file;
  struct stat opened;
  if (error == 0) {
    file.reset(openat(place.folder.fd, place.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (file.fd < 0 || fstat(file.fd, &opened) != 0) error = errno;
  }
  // Another file that took the name since it was judged is not read.
  if (error == 0 && (opened.st_dev != place.info.st_dev || opened.st_ino != place.info.st_ino)) error = EAGAIN;
  if (error == 0) {
    const int fd = file.fd;
    file.fd = -1;
    return fd;
  }
  keepWords(wordsFor(error, place.refusal), words);
  return -1;
}

FilesWrite replaceFiles(const FileReplacement* files, int count) {
  FilesWrite result;
  Ready ready[kMaxReplacedFiles];
  const auto fail = [&](int i, int error) {
    result.failed = i;
    keepWords(std::string(files[i].path) + (result.backup_failed ? std::string(kBackupSuffix) : "") + ": " +
                  wordsFor(error, ready[i].place.refusal),
              result.words);
  };
  for (int i = 0; i < count && result.failed < 0; ++i)
    if (const int error = makeReady(files[i], ready[i], result.backup_failed); error != 0) fail(i, error);
  int unflushed_file = -1, unflushed = 0;
  for (int i = 0; i < count && result.failed < 0; ++i) {
    int not_flushed = 0;
    if (const int error = takePlace(ready[i], files[i].contents, result.backed_up[i], result.backup_failed, not_flushed); error != 0) {
      fail(i, error);
      result.mixed = ready[i].mixed;
      // An earlier file is written: the old contents made ready as this
      // one's backup are kept where they are, and named.
      if (result.backup_failed && i > 0 && !ready[i].backup.empty()) {
        ready[i].backup.copy(result.backup_kept, sizeof result.backup_kept - 1);
        ready[i].backup.clear();
      }
      break;
    }
    result.written = i + 1;
    if (not_flushed != 0 && unflushed == 0) unflushed_file = i, unflushed = not_flushed;
  }
  if (result.failed < 0 && unflushed != 0) fail(unflushed_file, unflushed);
  // Whatever was made ready and did not take its place goes again.
  for (int i = 0; i < count; ++i)
    for (std::string* name : {&ready[i].copy, &ready[i].backup})
      if (!removeTemporary(ready[i].place, *name) && result.copy_left[0] == '\0')
        name->copy(result.copy_left, sizeof result.copy_left - 1);
  return result;
}

