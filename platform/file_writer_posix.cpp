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

// A step from something an unprivileged user owns to something another user
// owns: that user could have pointed it anywhere, so it is not taken. A step
// from root's is always safe.
bool unsafeStep(const struct stat& from, const struct stat& to) {
  return from.st_uid != 0 && from.st_uid != to.st_uid;
}

// The folder a path leads to, opened as a path, and the last part's name in it.
struct Place {
  Descriptor folder;
  struct stat folder_info {};
  std::string name;
  bool exists = false;
};

constexpr int kMaxLinks = 40;  // as the kernel's own limit

// Opens the root or the current folder, where a walk starts or a link's
// absolute target sends it.
int openStart(bool absolute, Descriptor& at, struct stat& info) {
  at.reset(open(absolute ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (at.fd < 0) return errno;
  return fstat(at.fd, &info) == 0 ? 0 : errno;
}

// Follows `path` one part at a time from the current folder, each symbolic
// link once, judging every step with unsafeStep, to the folder of its last
// part. The last part is looked at but not opened: that is the writer's.
int findPlace(const char* path, Place& place) {
  std::string todo = path;
  struct stat previous {};
  if (const int error = openStart(todo[0] == '/', place.folder, previous); error != 0) return error;
  place.folder_info = previous;
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
    struct stat entry;
    if (part != ".." && fstatat(place.folder.fd, part.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT || !last) return errno;
      place.name = part;
      return 0;
    }
    if (part != ".." && unsafeStep(previous, entry)) return EPERM;
    if (part != ".." && S_ISLNK(entry.st_mode)) {
      if (++links > kMaxLinks) return ELOOP;
      char target[PATH_MAX];
      const ssize_t size = readlinkat(place.folder.fd, part.c_str(), target, sizeof target);
      if (size < 0) return errno;
      if (size == 0 || static_cast<std::size_t>(size) == sizeof target) return size == 0 ? ENOENT : ENAMETOOLONG;
      todo = std::string(target, static_cast<std::size_t>(size)) + "/" + todo.substr(rest);
      if (last) todo.pop_back();
      at = 0;
      previous = entry;
      if (target[0] == '/') {
        struct stat root;
        if (const int error = openStart(true, place.folder, root); error != 0) return error;
        if (unsafeStep(previous, root)) return EPERM;
        previous = place.folder_info = root;
      }
      continue;
    }
    if (last && part != "..") {
      place.name = part;
      place.exists = true;
      return 0;
    }
    Descriptor next(openat(place.folder.fd, part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat info;
    if (next.fd < 0 || fstat(next.fd, &info) != 0) return errno;
    if (unsafeStep(previous, info)) return EPERM;
    place.folder.reset(next.fd);
    next.fd = -1;
    previous = place.folder_info = info;
    if (last) return EISDIR;
  }
}

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
// so that no moment shows the one without the other.
int writeWithBlanks(int fd, std::string_view contents, std::size_t blanks, off_t offset) {
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
    for (std::size_t done = static_cast<std::size_t>(n); done > 0 && first < count;) {
      const std::size_t taken = std::min(done, pieces[first].iov_len);
      pieces[first].iov_base = static_cast<char*>(pieces[first].iov_base) + taken;
      pieces[first].iov_len -= taken;
      done -= taken;
      if (pieces[first].iov_len == 0) ++first;
    }
  }
  return left == 0 ? 0 : writeWithBlanks(fd, {}, left, offset);
}

// Overwrites the open file `fd`, of `old_size` bytes, with `contents`,
// never leaving it half-way: it first grows to the new length by blank
// lines (taken back if there is no room), then the new contents, padded
// with blank lines to the old length, are written in one call, and only
// then is it cut to the new length and flushed. A kill at any point leaves
// the old menu or the new one, followed at most by blank lines.
int overwrite(int fd, off_t old_size, std::string_view contents) {
  const off_t new_size = static_cast<off_t>(contents.size());
  if (new_size > old_size) {
    if (const int error = writeWithBlanks(fd, {}, static_cast<std::size_t>(new_size - old_size), old_size);
        error != 0) {
      // Should taking the blank lines back fail too, they are only blank.
      [[maybe_unused]] const int taken_back = ftruncate(fd, old_size);
      return error;
    }
  }
  const std::size_t blanks = old_size > new_size ? static_cast<std::size_t>(old_size - new_size) : 0;
  int error = writeWithBlanks(fd, contents, blanks, 0);
  if (error == 0 && blanks > 0 && ftruncate(fd, new_size) != 0) error = errno;
  if (error == 0 && fsync(fd) != 0) error = errno;
  return error;
}

// Writes `contents` into the device or file open as `fd`.
int writeInPlace(int fd, const struct stat& file, std::string_view contents) {
  if (S_ISCHR(file.st_mode)) {
    while (!contents.empty()) {
      const ssize_t n = write(fd, contents.data(), contents.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return n < 0 ? errno : EIO;
      contents.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
  }
  return overwrite(fd, file.st_size, contents);
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
  return fchmod(copy, old.st_mode & 07777) == 0 ? 0 : errno;
}

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

// Creates a new file beside the one at `place`, named after it so that one
// left by a power cut is recognisable ("apps.ini.k3F9xQ"), never through a
// link. Returns its descriptor, with its name in `name`, or -1 with errno
// set and `name` empty.
int createTemporary(const Place& place, std::string& name, mode_t mode) {
  static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  static unsigned long serial = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    unsigned long mixed = static_cast<unsigned long>(now.tv_nsec) ^ (static_cast<unsigned long>(getpid()) << 20) ^
                          (serial++ * 2654435761UL);
    name = place.name + ".";
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
};

// Writes `contents` to a new file beside the one at `place`, flushed and
// closed, its name in `name`. Given `like`, the old file, the copy takes all
// it has beyond its bytes; otherwise it is made as any new file is.
int writeCopy(const Place& place, std::string_view contents, const Ready* like, std::string& name) {
  Descriptor copy(createTemporary(place, name, like != nullptr ? 0600 : 0666));
  if (copy.fd < 0) return errno;
  int error = like != nullptr ? carryOver(copy.fd, like->file.fd, like->old) : 0;
  if (error == 0) error = writeAt(copy.fd, contents, 0);
  if (error == 0 && fsync(copy.fd) != 0) error = errno;
  if (!copy.release() && error == 0) error = errno;
  return error;
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
  Descriptor copy(createTemporary(place, ready.backup, 0600));
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
  if (unsafeStep(place.folder_info, ready.old)) return EPERM;
  if (!S_ISREG(ready.old.st_mode) && !S_ISCHR(ready.old.st_mode)) return EINVAL;
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
  // place instead, unless the copy is left beside it.
  if (error == 0) return 0;
  if (!removeTemporary(place, ready.copy)) return error;
  ready.way = Way::kInPlace;
  return 0;
}

// Puts the backup at its name, then the new contents in the file's place.
// Returns 0 once the file holds them (`unflushed` then says whether the
// folder could not be flushed), or the error that kept them out
// (`backup_failed` says when the backup could not take its name).
int takePlace(Ready& ready, std::string_view contents, bool& backed_up, bool& backup_failed, int& unflushed) {
  const Place& place = ready.place;
  if (!ready.backup.empty()) {
    const std::string backup_name = place.name + std::string(kBackupSuffix);
    if (renameat(place.folder.fd, ready.backup.c_str(), place.folder.fd, backup_name.c_str()) != 0) {
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
  int error = writeInPlace(ready.file.fd, ready.old, contents);
  if (!ready.file.release() && error == 0) error = errno;
  if (error == 0 && backed_up) unflushed = flushFolder(place);
  return error;
}

}  // namespace

FilesWrite replaceFiles(const FileReplacement* files, int count) {
  FilesWrite result;
  Ready ready[kMaxReplacedFiles];
  const auto fail = [&](int i, int error) {
    result.error = error;
    result.failed = i;
  };
  for (int i = 0; i < count && result.error == 0; ++i)
    if (const int error = makeReady(files[i], ready[i], result.backup_failed); error != 0) fail(i, error);
  int unflushed_file = -1, unflushed = 0;
  for (int i = 0; i < count && result.error == 0; ++i) {
    int not_flushed = 0;
    if (const int error = takePlace(ready[i], files[i].contents, result.backed_up[i], result.backup_failed, not_flushed); error != 0) {
      fail(i, error);
      break;
    }
    result.written = i + 1;
    if (not_flushed != 0 && unflushed == 0) unflushed_file = i, unflushed = not_flushed;
  }
  if (result.error == 0 && unflushed != 0) fail(unflushed_file, unflushed);
  // Whatever was made ready and did not take its place goes again.
  for (int i = 0; i < count; ++i)
    for (std::string* name : {&ready[i].copy, &ready[i].backup})
      if (!removeTemporary(ready[i].place, *name) && result.copy_left[0] == '\0')
        name->copy(result.copy_left, sizeof result.copy_left - 1);
  return result;
}

std::string_view describeSystemError(int error, char (&)[256]) { return std::strerror(error); }
