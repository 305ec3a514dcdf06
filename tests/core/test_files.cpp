// ReplacementFile's own files: the unnamed file while a save runs, the named
// fallback for file systems without one, and the clean-up of temporaries a
// killed writer left. (Saves through the engine, links, special files, modes
// and owners: test_io.cpp and tests/python/test_file_safety.py.)
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "core/io/atomic_file.h"
#include "core/io/file.h"
#include "test_util.h"

namespace teskra {
namespace {

using test_util::read_file;
using test_util::TempDir;
using test_util::write_file;
namespace fs = std::filesystem;

void put(ReplacementFile& f, const std::string& bytes) {
  FileWriter w(f.fd());
  w.write(bytes.data(), bytes.size());
  w.flush();
}

std::string temp_name(pid_t pid, int n) {
  return ".teskra-tmp." + std::to_string(pid) + "." + std::to_string(n);
}

bool has_unnamed_files(const std::string& dir) {
  const int fd = ::open(dir.c_str(), O_TMPFILE | O_WRONLY, 0600);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

TEST(ReplacementFile, UnnamedWhileWrittenNamedFallbackAndBothReplaceInOneStep) {
  TempDir dir;
  const std::string path = dir / "index.tskr";
  const std::string fallback_name = ".teskra-tmp." + std::to_string(::getpid()) + ".";
  for (bool unnamed : {true, false}) {
    SCOPED_TRACE(unnamed);
    write_file(path, "old");
    ::chmod(path.c_str(), 0604);
    {
      ReplacementFile f(path, unnamed);
      put(f, "abandoned");
      const std::vector<std::string> during = dir.names();
      if (!unnamed) {
        ASSERT_EQ(during.size(), 2u);
        EXPECT_EQ(during[0].rfind(fallback_name, 0), 0u) << during[0];
      } else if (has_unnamed_files(dir / ".")) {
        EXPECT_EQ(during, std::vector<std::string>{"index.tskr"});  // a kill now leaves nothing
      }
    }
    EXPECT_EQ(read_file(path), "old");
    EXPECT_EQ(dir.names(), std::vector<std::string>{"index.tskr"});
    ReplacementFile f(path, unnamed);
    put(f, "new");
    f.commit();
    EXPECT_EQ(read_file(path), "new");
    EXPECT_EQ(dir.names(), std::vector<std::string>{"index.tskr"});
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0604u);
  }
}

TEST(ReplacementFile, NextSaveRemovesOnlyTemporariesOfWritersThatAreGone) {
  TempDir dir;
  const pid_t dead = ::fork();
  if (dead == 0) ::_exit(0);
  ASSERT_GT(dead, 0);
  ASSERT_EQ(::waitpid(dead, nullptr, 0), dead);  // reaped: its pid names no process now
  write_file(dir / temp_name(dead, 0), "killed mid-save");
  write_file(dir / temp_name(dead, 7), "killed too");
  // Kept: a file still locked (its writer lives in another pid namespace, where
  // the pid means another process), one of a live process, names that only
  // look alike, and what is not a regular file.
  write_file(dir / temp_name(dead, 1), "locked");
  const Fd held(::open((dir / temp_name(dead, 1)).c_str(), O_RDONLY));
  ASSERT_EQ(::flock(held.get(), LOCK_EX), 0);
  write_file(dir / temp_name(::getppid(), 2), "live");
  const std::vector<std::string> others = {"index.tskr.tmp." + std::to_string(dead) + ".3",
                                           temp_name(dead, 4) + "x", ".teskra-tmp." + std::to_string(dead)};
  for (const std::string& name : others) write_file(dir / name, "user file");
  fs::create_directory(dir / temp_name(dead, 5));
  fs::create_symlink(dir / temp_name(dead, 1), dir / temp_name(dead, 6));

  ReplacementFile f(dir / "index.tskr");
  std::vector<std::string> expected = others;
  for (int n : {1, 5, 6}) expected.push_back(temp_name(dead, n));
  expected.push_back(temp_name(::getppid(), 2));
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(dir.names(), expected);
}

}  // namespace
}  // namespace teskra
