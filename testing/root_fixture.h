// A throwaway router root for tests that touch the file system. Code that uses absolute
// paths ("/flash", "/ram") runs in a forked child that has entered the root with chroot,
// so the machine's own paths are never touched.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

// Small reads and writes on real paths: the host's, or the root's inside a child.
inline std::string file_text(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}
inline bool put_file(const std::string& path, const std::string& contents) {
  return static_cast<bool>(std::ofstream(path, std::ios::binary) << contents << std::flush);
}
// Does not follow a final symbolic link.
inline bool is_present(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0;
}
// Names in `dir` other than "." and "..", sorted, joined by ","; "-" when it cannot be read.
inline std::string dir_entries(const std::string& dir) {
  std::error_code error;
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
    names.insert(entry.path().filename());
  }
  std::string joined;
  for (const std::string& name : names) joined += (joined.empty() ? "" : ",") + name;
  return error ? "-" : joined;
}

class Manifest;
// The temporary file or move source pending for `path`; "" when none.
std::string staged_source(const Manifest& manifest, const std::string& path);

struct RunResult {
  int status = -1;  // exit status 0..255, or -1 when the child died by a signal
  std::string out, err;
  bool killed = false;    // the child was killed at kill_at_step
  bool injected = false;  // the fault was reached and the call failed with it
  // When traced: "rename", "change" or "sync" for each call that changed or flushed the
  // files, in order, up to the kill.
  std::vector<std::string> calls;
};

// The nth (1-based) system call named `call` fails with `error` without being carried out.
// Names: "syncfs", "fsync", "fdatasync", "sync", "rename", "unlink", "rmdir", "symlink",
// "mkdir", "fchmod", "chmod", "link", "write" (also writev, pwrite64, pwritev), "close";
// each with its *at variants.
struct InjectedFault {
  std::string call;
  int nth = 0;
  int error = EIO;
};

struct TmpfsMount {
  std::string path;  // directory inside the root
  std::string size;  // tmpfs size option, such as "64k"
};

struct ChildOptions {
  std::string stdin_data;  // from a file
  std::vector<std::pair<std::string, std::string>> env;
  // In the child's own mount namespace, so they vanish with it whatever the test does.
  std::vector<TmpfsMount> mounts;
  // Above 0: the child is traced and killed as it enters its step-th call that changes or
  // flushes the files, a power cut as far as they can tell. Beyond the last: traced whole.
  int kill_at_step = 0;
  // Traces the child and fails one call (see can_inject_faults). Counted independently of
  // kill_at_step; a call that is both kills the child and is not failed.
  std::optional<InjectedFault> fault = std::nullopt;
};

// Whether a test may trace its child's system calls (not under an emulator).
bool can_trace_children();
// Whether ChildOptions::fault works here: x86-64 natively, with traceable children.
bool can_inject_faults();

// What differs between two tree_entries results, one line each: "-" and the expected line,
// "+" and the actual one; bytes that do not print are escaped. Empty when equal.
std::string tree_differences(const std::map<std::string, std::string>& expected,
                             const std::map<std::string, std::string>& actual);

class RootFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Skips the test, with the reason, when tmpfs mounts are not allowed here.
  void require_mounts();

  // Puts the root on a fresh 64 MiB ext4 file system (a loop device over a sparse image,
  // mounted with noauto_da_alloc) in a private mount namespace of the test process; skips
  // where that cannot be done (it needs real root). Undone by TearDown.
  void use_disk_root();
  // A power cut for the disk root: shuts its file system down without flushing, then
  // mounts it again, so whatever was not flushed is lost.
  void lose_page_cache();

  const std::string& root() const { return root_; }
  // The host path of an absolute path inside the root.
  std::string host_path(const std::string& path) const { return root_ + path; }

  // Empties the root and makes its first directories again, for a test's next round.
  void reset_root();

  // Helpers on paths inside the root; parents are created as needed.
  void write_file(const std::string& path, const std::string& contents, unsigned mode = 0644);
  void make_dirs(const std::string& path) {
    std::error_code error;
    std::filesystem::create_directories(host_path(path), error);
  }
  std::string read_file(const std::string& path) const { return file_text(host_path(path)); }
  bool exists(const std::string& path) const { return is_present(host_path(path)); }
  std::string link_target(const std::string& path) const {  // "" when not a link
    std::error_code error;
    return std::filesystem::read_symlink(host_path(path), error);
  }
  // Every entry below `dir`, one per line in path order: "path/" for a directory,
  // "path -> target" for a symbolic link, "path=contents" for a file (its first 64 bytes
  // and "..." when longer), with " mode=NNNN" when its permissions are not 0600 or 0644.
  // A staging directory is left out, but not the files in it.
  std::string tree(const std::string& dir) const;
  // The same lines by path, without newlines; with `whole`, a file longer than 64 bytes
  // also shows its size and a hash of all its bytes.
  std::map<std::string, std::string> tree_entries(const std::string& dir, bool whole = false) const;

  // Runs `body` in a child inside the root; its result is the exit status.
  RunResult run_in_root(const std::function<int()>& body, const ChildOptions& options = {}) {
    return run_child(body, options, true);
  }
  // Runs `body` in a child that stays outside the root (isolated all the same).
  RunResult run_outside_root(const std::function<int()>& body, const ChildOptions& options = {}) {
    return run_child(body, options, false);
  }

 private:
  RunResult run_child(const std::function<int()>& body, const ChildOptions& options,
                      bool enter_root);
  [[noreturn]] void child_main(const std::function<int()>& body, const ChildOptions& options,
                               bool enter_root, int input);
  void unmount_disk();

  std::string base_;  // holds root/ and the captured output
  std::string root_;
  int loop_fd_ = -1;  // the disk root's loop device, while attached
  std::string loop_path_;
};
