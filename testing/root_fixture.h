// A throwaway router root for tests that touch the file system. Whole installer runs and
// any other code that uses absolute paths ("/flash", "/ram") run in a forked child that
// has entered the root with chroot, so the machine's own paths are never touched.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

struct RunResult {
  int status = -1;  // exit status 0..255, or -1 when the child died by a signal
  std::string out;
  std::string err;
  bool killed = false;  // the child was killed at the step given (kill_at_step)
  // When traced: "rename", "change" or "sync" for each system call that changed or flushed
  // the files, in order, up to the kill.
  std::vector<std::string> calls;
};

struct TmpfsMount {
  std::string path;  // directory inside the root
  std::string size;  // tmpfs size option, such as "64k"
};

struct ChildOptions {
  std::string stdin_data;
  bool stdin_pipe = false;  // feed standard input through a pipe instead of a file
  std::vector<std::pair<std::string, std::string>> env;
  std::vector<std::string> unset_env;
  // Mounted in the child's own mount namespace before it enters the root, so they vanish
  // with it whatever the test does.
  std::vector<TmpfsMount> mounts;
  // When above 0, the child is traced and killed as it enters its step-th system call that
  // changes the file system (rename, unlink, rmdir, symlink, link, mkdir): a power cut at
  // that point, as far as the files can tell. A step beyond the last traces the whole run.
  int kill_at_step = 0;
};

// Whether this machine lets a test trace its child's system calls (not under an emulator).
bool can_trace_children();

class RootFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Skips the test, with the reason, when tmpfs mounts are not allowed here.
  void require_mounts();

  const std::string& root() const { return root_; }
  // The host path of an absolute path inside the root.
  std::string host_path(const std::string& path) const { return root_ + path; }

  // Empties the root and makes its first directories again, for a test's next round.
  void reset_root();

  // Helpers on paths inside the root; parents are created as needed.
  void write_file(const std::string& path, const std::string& contents, unsigned mode = 0644);
  void make_dirs(const std::string& path);
  std::string read_file(const std::string& path) const;
  bool exists(const std::string& path) const;  // does not follow a final symbolic link
  // Every entry below `dir`, one per line in path order: "path/" for a directory,
  // "path -> target" for a symbolic link, "path=contents" for a file (its first 64 bytes
  // and "..." when longer), with " mode=NNNN" when its permissions are not 0600 or 0644.
  std::string tree(const std::string& dir) const;

  // Runs `body` in a child inside the root; its result is the exit status.
  RunResult run_in_root(const std::function<int()>& body, const ChildOptions& options = {});
  // Runs `body` in a child that stays outside the root (isolated all the same).
  RunResult run_outside_root(const std::function<int()>& body, const ChildOptions& options = {});

 private:
  RunResult run_child(const std::function<int()>& body, const ChildOptions& options,
                      bool enter_root);

  std::string base_;  // holds root/ and the captured output
  std::string root_;
};
