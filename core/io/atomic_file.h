// ReplacementFile: writes a file so that a failure part-way never destroys
// the one already there.
//
// The bytes go to a new file in the target's directory; commit() flushes it
// to stable storage and renames it over the target in one step. Until
// commit() succeeds the target is untouched, so a full disk, a file-size
// limit or an exception thrown by the encoder leaves the previous file byte
// for byte as it was.
//
// The new file has no name while it is written (O_TMPFILE): a process killed
// mid-save leaves nothing behind. commit() links it under a temporary name
// and renames that over the target (a link cannot replace an existing name,
// a rename can, atomically). Where the file system has no unnamed files, or
// /proc is not mounted to link one by, the file is created under the
// temporary name right away. Temporary names are ".teskra-tmp.<pid>.<n>";
// the writer holds a flock on the file. Each save removes, from its
// directory, such files whose process is gone and whose lock is free (the
// lock covers writers in another pid namespace sharing the directory).
//
// What the target may be:
// - missing: created with the permissions any new file gets (0666 less the
//   umask);
// - a regular file: replaced; the new file keeps its permission bits, and its
//   owner and group as far as the process may set them (root always; others
//   keep at least the group if they belong to it, otherwise the file becomes
//   theirs, as any file they create);
// - a directory: refused, Io "Is a directory"; any other file that is not a
//   regular one (FIFO, socket, device node): refused, Io "Invalid argument".
//   Nothing is touched.
// - a symbolic link: followed (the link keeps pointing at the new file), hop
//   by hop, under the kernel's rule for links in sticky world-writable
//   directories such as /tmp: a link there is followed only if it belongs to
//   this process's user or to the directory's owner. The rule is applied
//   whether or not the system enforces it (fs.protected_symlinks), so a save
//   never goes where an open() of the path on a hardened system would be
//   refused. A refused link is Io "Permission denied" and stays as it is. A
//   dangling link that may be followed makes the file at its end.
#pragma once

#include <string>

#include "core/io/file.h"

namespace teskra {

class ReplacementFile {
 public:
  // Resolves the target, removes stale temporary files of dead writers and
  // creates the new file. Throws Io (the system's text) when the target is
  // refused (above) or the file cannot be created, e.g. for a missing
  // directory. unnamed = false skips the unnamed file and uses the fallback
  // directly (tests use it to reach the fallback on any file system).
  explicit ReplacementFile(const std::string& target, bool unnamed = true);
  // Without a successful commit: closes the new file and removes it.
  ~ReplacementFile();
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;

  // The new file, open for writing.
  int fd() const { return fd_.get(); }
  // fsync, name it, rename over the target, then sync the directory so the
  // rename itself survives a crash. Throws Io on failure (the new file is
  // then removed and the target is unchanged).
  void commit();

  // Where the bytes will end up (the target with symbolic links resolved).
  const std::string& final_path() const { return final_path_; }

 private:
  std::string final_path_;
  Fd dir_;                 // the target's directory (O_PATH); names below are in it
  std::string name_;       // the target's last component
  std::string temp_name_;  // the temporary name, once the new file has one
  Fd fd_;
  bool committed_ = false;
};

// The file a path names once symbolic links in its last component are
// followed (relative link texts are taken from the link's directory). A path
// that does not exist, or a dangling link's target, is returned as is: that
// is where a new file will be created. Throws Io "Too many levels of
// symbolic links" for a loop, and "Permission denied" for a link in a sticky
// world-writable directory that belongs neither to this process's user nor
// to the directory's owner.
std::string resolve_final_link(const std::string& path);

}  // namespace teskra
