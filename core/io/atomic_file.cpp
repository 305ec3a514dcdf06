#include "core/io/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cerrno>
#include <vector>

namespace teskra {

namespace {

// Distinguishes the temporary files of successive saves in one process.
std::atomic<uint64_t> g_temp_counter{0};

// The symbolic-link hop limit the kernel itself uses.
constexpr int kMaxLinkHops = 40;

std::string directory_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

std::string resolve_final_link(const std::string& path) {
  std::string current = path;
  for (int hop = 0; hop < kMaxLinkHops; ++hop) {
    struct stat st;
    if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      // Missing, not a link, or not inspectable: the file is created or
      // replaced right here, and any real problem shows when it is opened.
      return current;
    }
    // Link texts longer than PATH_MAX could not be followed by open either.
    std::vector<char> text(PATH_MAX + 1);
    const ssize_t n = ::readlink(current.c_str(), text.data(), text.size());
    if (n < 0) throw os_error(errno);
    if (static_cast<size_t>(n) == text.size()) throw os_error(ENAMETOOLONG);
    std::string target(text.data(), static_cast<size_t>(n));
    if (!target.empty() && target[0] != '/') {
      const size_t slash = current.rfind('/');
      if (slash != std::string::npos) target = current.substr(0, slash + 1) + target;
    }
    current = std::move(target);
  }
  throw os_error(ELOOP);
}

ReplacementFile::ReplacementFile(const std::string& target) : final_path_(resolve_final_link(target)) {
  const std::string stem = final_path_ + ".tmp." + std::to_string(::getpid()) + ".";
  // O_EXCL never reuses a file: a leftover of a crashed writer with the
  // same pid, or another thread's save in progress, makes us pick the next
  // number instead of writing into theirs.
  for (int attempt = 0;; ++attempt) {
    std::string candidate = stem + std::to_string(g_temp_counter.fetch_add(1));
    int fd;
    do {
      fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
      temp_path_ = std::move(candidate);
      fd_ = Fd(fd);
      return;
    }
    if (errno != EEXIST || attempt >= 100) throw os_error(errno);
  }
}

ReplacementFile::~ReplacementFile() {
  if (committed_) return;
  fd_ = Fd();  // close before unlinking; errors do not matter any more
  if (!temp_path_.empty()) ::unlink(temp_path_.c_str());
}

void ReplacementFile::commit() {
  // Data reaches the disk before the name does: after a crash the target is
  // either the old file or the complete new one, never a torn one.
  int rc;
  do {
    rc = ::fsync(fd_.get());
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) throw os_error(errno);
  fd_.close();
  if (::rename(temp_path_.c_str(), final_path_.c_str()) != 0) throw os_error(errno);
  committed_ = true;
  // The rename is durable only once the directory is synced. The new file
  // is in place whatever happens here, so a failure is not reported.
  const int dir = ::open(directory_of(final_path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
}

}  // namespace teskra
