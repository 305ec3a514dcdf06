// ReplacementFile: writes a file so that a failure part-way never destroys
// the one already there.
//
// The bytes go to a new temporary file beside the target
// ("<target>.tmp.<pid>.<n>", created exclusively, so two writers never share
// one); commit() flushes it to stable storage and renames it over the target
// in one step. Until commit() succeeds the target is untouched, and a
// ReplacementFile destroyed without a commit removes its temporary file. So
// a full disk, a file-size limit or an exception thrown by the encoder leaves
// the previous file byte for byte as it was.
//
// A target that is a symbolic link is resolved first: the link keeps
// pointing at the (new) file instead of being replaced by it. The new file
// gets the permissions any newly created file gets (0666 less the umask), as
// the temporary file is a new file; owner and permissions of the old file
// are not carried over.
#pragma once

#include <string>

#include "core/io/file.h"

namespace teskra {

class ReplacementFile {
 public:
  // Resolves the target and creates the temporary file. Throws Io (the
  // system's text) when it cannot be created, e.g. for a missing directory.
  explicit ReplacementFile(const std::string& target);
  // Without a successful commit: closes and removes the temporary file.
  ~ReplacementFile();
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;

  // The temporary file, open for writing.
  int fd() const { return fd_.get(); }
  // fsync, close, rename over the target, then sync the directory so the
  // rename itself survives a crash. Throws Io on failure (the temporary
  // file is then removed and the target is unchanged).
  void commit();

  // Where the bytes will end up (the target with symbolic links resolved).
  const std::string& final_path() const { return final_path_; }

 private:
  std::string final_path_;
  std::string temp_path_;
  Fd fd_;
  bool committed_ = false;
};

// The file a path names once symbolic links in its last component are
// followed (relative link texts are taken from the link's directory). A path
// that does not exist, or a dangling link's target, is returned as is: that
// is where a new file will be created. Throws Io for a loop of links.
std::string resolve_final_link(const std::string& path);

}  // namespace teskra
