// POSIX side of platform.h.
#include "platform/platform.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

// A descriptor in non-blocking mode (a caller may hand one over) answers
// EAGAIN where another would wait; that is no end and no error, so wait here.
bool waitIfBusy(int fd, short events) {
  if (errno != EAGAIN && errno != EWOULDBLOCK) return errno == EINTR;
  pollfd ready = {fd, events, 0};
  while (poll(&ready, 1, -1) < 0 && errno == EINTR) {
  }
  return true;
}

// Why the file may not be written, or 0: whoever runs the program must be
// allowed to write it, and its permission bits must let somebody write it: a
// file without any write bit is read-only, even to root, as the read-only
// attribute is on Windows.
int writeRefusal(const char* path, const struct stat& file) {
  if ((file.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return EACCES;
  return faccessat(AT_FDCWD, path, W_OK, AT_EACCESS) == 0 ? 0 : errno;
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

// Makes room for the file to grow from `old_size` to all of `contents`
// before anything old is overwritten, so that a full disk leaves the old
// contents whole. The space is taken without changing the file's size where
// the file system can; elsewhere the part past the old end is written first,
// and taken back if that fails.
int reserveSpace(int fd, off_t old_size, std::string_view contents) {
#ifdef FALLOC_FL_KEEP_SIZE
  if (fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(contents.size())) == 0) return 0;
  if (errno != EOPNOTSUPP && errno != ENOSYS) return errno;
#endif
  const int error = writeAt(fd, contents.substr(static_cast<std::size_t>(old_size)), old_size);
  if (error != 0) {
    // Should taking the part back fail too, there is nothing better to do
    // than to report the first failure.
    [[maybe_unused]] const int taken_back = ftruncate(fd, old_size);
  }
  return error;
}

// Overwrites an open file with `contents`: room first, then the bytes, then
// the file cut to their length and flushed to the disk. A device is just
// written to.
int overwrite(int fd, std::string_view contents) {
  struct stat file;
  if (fstat(fd, &file) != 0) return errno;
  if (S_ISCHR(file.st_mode))
    return writeBytes(fd, contents.data(), contents.size()) ? 0 : (errno != 0 ? errno : EIO);
  if (!S_ISREG(file.st_mode)) return EINVAL;
  const off_t new_size = static_cast<off_t>(contents.size());
  int error = new_size > file.st_size ? reserveSpace(fd, file.st_size, contents) : 0;
  if (error == 0) error = writeAt(fd, contents, 0);
  if (error == 0 && new_size < file.st_size && ftruncate(fd, new_size) != 0) error = errno;
  if (error == 0 && fsync(fd) != 0) error = errno;
  return error;
}

// Writes `contents` into the file itself, which every name of it then shows.
// `create` makes a file that has vanished. O_NONBLOCK keeps a FIFO swapped in
// from stalling the open; anything but a file or a device is then refused.
int writeInPlace(const char* path, std::string_view contents, bool create) {
  const int fd = open(path, O_WRONLY | O_NONBLOCK | (create ? O_CREAT : 0), 0666);
  if (fd < 0) return errno;
  int error = overwrite(fd, contents);
  if (close(fd) != 0 && error == 0) error = errno;
  return error;
}

// Gives the new file `fd` all that the old one `target` has beyond its
// bytes: owner and group, extended attributes (ACL entries among them) and
// permission bits. Returns why it cannot, and then the new file must not
// take the old one's place: the file is written in place instead, which
// keeps owner and group both, so there is no use in setting the group alone
// where only the owner is refused.
int carryOver(int fd, const char* target, const struct stat& old) {
  // Only a privileged process may give a file away; whether this one could
  // is seen from the file itself.
  [[maybe_unused]] const int refused = fchown(fd, old.st_uid, old.st_gid);
  struct stat made;
  if (fstat(fd, &made) != 0) return errno;
  if (made.st_uid != old.st_uid || made.st_gid != old.st_gid) return EPERM;
  const ssize_t size = listxattr(target, nullptr, 0);
  if (size < 0 && errno != ENOTSUP) return errno;
  if (size > 0) {
    std::vector<char> names(static_cast<std::size_t>(size));
    const ssize_t listed = listxattr(target, names.data(), names.size());
    if (listed < 0) return errno;
    std::vector<char> value;
    for (const char* name = names.data(); name < names.data() + listed; name += std::strlen(name) + 1) {
      const ssize_t length = getxattr(target, name, nullptr, 0);
      if (length < 0) return errno;
      value.resize(static_cast<std::size_t>(length));
      const ssize_t got = getxattr(target, name, value.data(), value.size());
      if (got < 0 || fsetxattr(fd, name, value.data(), static_cast<std::size_t>(got), 0) != 0) return errno;
    }
  }
  return fchmod(fd, old.st_mode & 07777) == 0 ? 0 : errno;
}

// Removes a file this program made; a second try for a passing refusal.
void removeMade(const std::string& path) {
  if (unlink(path.c_str()) != 0) unlink(path.c_str());
}

// Flushes the folder of `target` to the disk, so that a rename in it
// survives a power cut. A file system that cannot flush a folder says so.
int syncFolderOf(const std::string& target) {
  // "./hvn/ini/." for "./hvn/ini/apps.ini", and "." for a bare name.
  const std::string folder = target.substr(0, target.rfind('/') + 1) + ".";
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) return errno;
  int error = fsync(fd) == 0 || errno == EINVAL ? 0 : errno;
  if (close(fd) != 0 && error == 0) error = errno;
  return error;
}

// Writes `contents` to a new file beside `target`, named after it so that one
// left by a power cut is recognisable ("apps.ini.k3F9xQ"), gives it all the
// old file's properties (carryOver), and renames it over `target`, then
// flushes the folder. Before the rename any failure removes the new file and
// leaves `target` as it was; `renamed` says whether it got that far.
int writeReplacement(const std::string& target, const struct stat& old, std::string_view contents,
                     bool& renamed) {
  std::string temporary = target + ".XXXXXX";
  const int fd = mkstemp(temporary.data());
  if (fd < 0) return errno;
  int error = carryOver(fd, target.c_str(), old);
  if (error == 0) error = writeAt(fd, contents, 0);
  if (error == 0 && fsync(fd) != 0) error = errno;
  if (close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && rename(temporary.c_str(), target.c_str()) != 0) error = errno;
  if (error != 0) {
    removeMade(temporary);
    return error;
  }
  renamed = true;
  return syncFolderOf(target);
}

// The file a replacement must take the place of: `path` itself, or for a
// symbolic link the file it names, in that file's folder, so that the link
// stays a link. False for a link that cannot be resolved.
bool replacementTarget(const char* path, std::string& target) {
  struct stat entry;
  if (lstat(path, &entry) != 0) return false;
  if (!S_ISLNK(entry.st_mode)) {
    target = path;
    return true;
  }
  char* const resolved = realpath(path, nullptr);
  if (resolved == nullptr) return false;
  target = resolved;
  std::free(resolved);
  return true;
}

}  // namespace

void prepareConsoleStreams() {
  // Without this, writing to a pipe whose reader has gone ends the process by
  // SIGPIPE with a non-zero status; the write error is handled like any other.
  std::signal(SIGPIPE, SIG_IGN);
}

// A terminal window stays open after its program has ended.
bool consoleClosesWithProgram() { return false; }

std::size_t readBytes(int fd, char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = read(fd, buffer, size);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (!waitIfBusy(fd, POLLIN)) return 0;
  }
}

bool writeBytes(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (!waitIfBusy(fd, POLLOUT)) return false;
      continue;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

int openReadableFile(const char* path) {
  // O_NONBLOCK keeps a FIFO in the file's place from stalling the open; it is
  // refused all the same, as reading it would wait for a writer.
  const int fd = open(path, O_RDONLY | O_NONBLOCK);
  if (fd < 0) return -1;
  struct stat file;
  if (fstat(fd, &file) == 0 && (S_ISREG(file.st_mode) || S_ISCHR(file.st_mode))) return fd;
  close(fd);
  return -1;
}

long readFileBytes(int fd, char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = read(fd, buffer, size);
    if (n >= 0 || errno != EINTR) return static_cast<long>(n);
  }
}

void closeFile(int fd) { close(fd); }

int replaceFileContents(const char* path, std::string_view contents) {
  struct stat old;
  if (stat(path, &old) != 0) return errno == ENOENT ? writeInPlace(path, contents, true) : errno;
  if (S_ISREG(old.st_mode))
    if (const int refusal = writeRefusal(path, old); refusal != 0) return refusal;
  // Every other name of a hard-linked file, and a device, must see the new
  // contents, which only writing in place gives.
  if (!S_ISREG(old.st_mode) || old.st_nlink > 1) return writeInPlace(path, contents, false);
  std::string target;
  bool renamed = false;
  if (replacementTarget(path, target)) {
    const int error = writeReplacement(target, old, contents, renamed);
    if (error == 0 || renamed) return error;
  }
  // No replacement could take the file's place (a bind-mounted file, another
  // user's file in a sticky folder, a folder that takes no new file, a new
  // file that could not be given the old one's owner or attributes, a link
  // too deep to resolve): the file is written in place instead, which leaves
  // it whole if there is no room.
  return writeInPlace(path, contents, false);
}

std::string_view describeSystemError(int error, char (&)[256]) { return std::strerror(error); }
