// How a file's whole contents are replaced, on each system: the one object
// the name leads to is judged once and then replaced, or written in place,
// and never left half-way.
#ifndef HALVANE_PLATFORM_FILE_WRITER_H_
#define HALVANE_PLATFORM_FILE_WRITER_H_

#include <string_view>

// What became of a write: `error` is 0, or the system's error number (errno,
// or GetLastError on Windows) saying why the file was not written. `copy_left`
// names a temporary copy that could not be removed again, beside the file;
// it is empty whenever no copy was left.
struct FileWrite {
  int error = 0;
  char copy_left[288] = "";
};

// Makes `contents` the whole of the file at `path`. A symbolic link is
// followed, but never from something one unprivileged user owns to something
// another user (root included) owns: no other user can steer the write to a
// file of their choosing (EPERM). An ordinary file is replaced whole by a
// copy that takes the old one's owner, group, permissions, ACL and extended
// attributes (Windows: its security and attributes), so a failure leaves the
// old file as it was. Where no copy can take its place (several names, a
// device, a bind mount, a folder that takes no new file or lets none be
// removed, properties a copy cannot be given), the file is written in place:
// room is made first with blank lines, and the new contents, padded with
// blank lines to the old length, go in one write before the file is cut, so
// at every moment the file reads as the old menu or the new one. A file that
// has vanished is created in its own folder, never through a link. A file
// marked read-only is never written, and no open waits for long.
FileWrite replaceFileContents(const char* path, std::string_view contents);

// The system's own words for error number `error`, as replaceFileContents
// gives it, without a final period or line end, in the code page the console
// shows. `buffer` may hold them.
std::string_view describeSystemError(int error, char (&buffer)[256]);

#endif  // HALVANE_PLATFORM_FILE_WRITER_H_
