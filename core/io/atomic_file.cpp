#include "core/io/atomic_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

namespace teskra {

namespace {

// Distinguishes the temporary names of successive saves in one process.
std::atomic<uint64_t> g_temp_counter{0};

// The symbolic-link hop limit the kernel itself uses.
constexpr int kMaxLinkHops = 40;

constexpr char kTempPrefix[] = ".teskra-tmp.";
constexpr size_t kTempPrefixLength = sizeof(kTempPrefix) - 1;

std::string directory_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string name_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

int open_at(int dir, const char* name, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::openat(dir, name, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

std::string next_temp_name() {
  return kTempPrefix + std::to_string(::getpid()) + "." + std::to_string(g_temp_counter.fetch_add(1));
}

// The pid in a temporary name ".teskra-tmp.<pid>.<n>", or 0 for any other name.
pid_t temp_owner(const char* name) {
  if (std::strncmp(name, kTempPrefix, kTempPrefixLength) != 0) return 0;
  const char* p = name + kTempPrefixLength;
  long long pid = 0;
  const char* digits = p;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (p - digits >= 10) return 0;
    pid = pid * 10 + (*p - '0');
  }
  if (p == digits || pid > INT_MAX || *p++ != '.') return 0;
  const char* counter = p;
  while (*p >= '0' && *p <= '9') ++p;
  return p != counter && *p == '\0' ? static_cast<pid_t>(pid) : 0;
}

// The kernel's rule for a link in a sticky world-writable directory (the
// fs.protected_symlinks one): it is followed only by its owner, or when it
// belongs to the directory's owner. Elsewhere every link is followed.
bool may_follow(const std::string& link, const struct stat& link_st) {
  if (link_st.st_uid == ::geteuid()) return true;
  struct stat dir;
  if (::stat(directory_of(link).c_str(), &dir) != 0) throw os_error(errno);
  if ((dir.st_mode & (S_ISVTX | S_IWOTH)) != (S_ISVTX | S_IWOTH)) return true;
  return dir.st_uid == link_st.st_uid;
}

// Removes the temporary files in dir whose writer is gone: a process killed
// between naming its file and the rename, or one on a file system without
// unnamed files killed at any point. The writer holds a flock for as long as
// it lives, which tells apart a process in another pid namespace that merely
// has a pid unknown here. Best effort: whatever cannot be checked is kept.
void remove_stale_temporaries(int dir) {
  const int list_fd = open_at(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (list_fd < 0) return;
  DIR* listing = ::fdopendir(list_fd);
  if (listing == nullptr) {
    ::close(list_fd);
    return;
  }
  std::vector<std::string> stale;
  while (const dirent* entry = ::readdir(listing)) {
    const pid_t pid = temp_owner(entry->d_name);
    if (pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH) stale.emplace_back(entry->d_name);
  }
  ::closedir(listing);
  for (const std::string& name : stale) {
    const Fd file(open_at(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat held, named;
    if (!file.valid() || ::fstat(file.get(), &held) != 0 || !S_ISREG(held.st_mode)) continue;
    // A file system without locks leaves the pid to decide.
    if (::flock(file.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) continue;
    if (::fstatat(dir, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && named.st_dev == held.st_dev &&
        named.st_ino == held.st_ino) {
      ::unlinkat(dir, name.c_str(), 0);
    }
  }
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
    if (!may_follow(current, st)) throw os_error(EACCES);
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

ReplacementFile::ReplacementFile(const std::string& target, bool unnamed)
    : final_path_(resolve_final_link(target)), name_(name_of(final_path_)) {
  // Everything below is relative to the directory, so a directory renamed
  // or swapped meanwhile cannot send the file elsewhere. "/." keeps its last
  // component an inner one, which open() follows whoever owns the link.
  dir_ = Fd(open_at(AT_FDCWD, (directory_of(final_path_) + "/.").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!dir_.valid()) throw os_error(errno);
  if (name_.empty()) {  // "name/": a directory, or the system says why not
    struct stat st;
    throw os_error(::stat(final_path_.c_str(), &st) != 0 ? errno : EISDIR);
  }
  struct stat old;
  const bool replacing = ::fstatat(dir_.get(), name_.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0;
  if (!replacing && errno != ENOENT) throw os_error(errno);
  if (replacing) require_regular_file(old.st_mode);

  remove_stale_temporaries(dir_.get());

  // An old file's contents may be private: the new file is private too
  // until it has the old file's permissions.
  const mode_t mode = replacing ? 0600 : 0666;
  int fd = -1;
  // Linking an unnamed file goes through /proc/self/fd.
  if (unnamed && ::access("/proc/self/fd", X_OK) == 0) {
    fd = open_at(dir_.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    // Kernels and file systems without unnamed files answer with one of these.
    if (fd < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) throw os_error(errno);
  }
  // O_EXCL never reuses a file: a leftover of a dead writer with the same
  // pid, or another thread's save in progress, makes us pick the next name.
  for (int attempt = 0; fd < 0; ++attempt) {
    std::string candidate = next_temp_name();
    fd = open_at(dir_.get(), candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0) {
      temp_name_ = std::move(candidate);
    } else if (errno != EEXIST || attempt >= 100) {
      throw os_error(errno);
    }
  }
  fd_ = Fd(fd);
  // The file is new: nobody else holds its lock. Without lock support the
  // pid alone marks it as ours.
  ::flock(fd, LOCK_EX | LOCK_NB);
  if (replacing) {
    // Owner before mode: a change of owner clears the set-id bits. Failing
    // to give the file away is normal for an ordinary user.
    if (::fchown(fd, old.st_uid, old.st_gid) != 0) (void)::fchown(fd, static_cast<uid_t>(-1), old.st_gid);
    if (::fchmod(fd, old.st_mode & 07777) != 0) {
      const int err = errno;
      if (!temp_name_.empty()) ::unlinkat(dir_.get(), temp_name_.c_str(), 0);
      throw os_error(err);
    }
  }
}

ReplacementFile::~ReplacementFile() {
  if (committed_) return;
  // An unnamed file vanishes when fd_ closes; a named one is removed.
  if (!temp_name_.empty()) ::unlinkat(dir_.get(), temp_name_.c_str(), 0);
}

void ReplacementFile::commit() {
  // Data reaches the disk before the name does: after a crash the target is
  // either the old file or the complete new one, never a torn one.
  int rc;
  do {
    rc = ::fsync(fd_.get());
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) throw os_error(errno);
  if (temp_name_.empty()) {
    // A link cannot replace the target; a temporary name, then a rename, can.
    const std::string self = "/proc/self/fd/" + std::to_string(fd_.get());
    for (int attempt = 0; temp_name_.empty(); ++attempt) {
      std::string candidate = next_temp_name();
      if (::linkat(AT_FDCWD, self.c_str(), dir_.get(), candidate.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        temp_name_ = std::move(candidate);
      } else if (errno != EEXIST || attempt >= 100) {
        throw os_error(errno);
      }
    }
  }
  if (::renameat(dir_.get(), temp_name_.c_str(), dir_.get(), name_.c_str()) != 0) throw os_error(errno);
  committed_ = true;
  // The lock is held up to here. fsync has reported what writing could
  // still meet, and the new file is in place whatever close says.
  fd_ = Fd();
  // The rename is durable only once the directory is synced. A failure is
  // not reported, for the same reason.
  const Fd dir(open_at(dir_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.valid()) ::fsync(dir.get());
}

}  // namespace teskra
