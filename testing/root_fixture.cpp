#include "testing/root_fixture.h"

#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>

#include "testing/child_trace.h"
#include "testing/isolation.h"

namespace {

constexpr int SETUP_FAILED = 125;

struct Isolation {
  bool chroot_ok = false;
  bool mounts_ok = false;
  std::string reason;
};

// Asks a child once whether it can enter a root, and mount a tmpfs there.
const Isolation& isolation() {
  static const Isolation probed = [] {
    Isolation result;
    char dir[] = "/tmp/installer-probe-XXXXXX";
    if (!::mkdtemp(dir)) {
      result.reason = "mkdtemp failed";
      return result;
    }
    int channel[2];
    if (::pipe(channel) != 0) {
      result.reason = "pipe failed";
      return result;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::close(channel[0]);
      std::string reason;
      int code = 2;
      const bool namespaced = enter_namespaces(reason);
      if (namespaced && ::mount("tmpfs", dir, "tmpfs", 0, "size=16k") == 0) code = 0;
      if (::chroot(dir) != 0) {
        code = 2;
        reason = std::string("chroot: ") + std::strerror(errno);
      } else if (code != 0) {
        code = 1;
        if (reason.empty()) reason = "tmpfs mount refused";
      }
      const ssize_t written = ::write(channel[1], reason.data(), reason.size());
      (void)written;
      ::_exit(code);
    }
    ::close(channel[1]);
    char buffer[512];
    ssize_t n;
    while ((n = ::read(channel[0], buffer, sizeof buffer)) > 0) result.reason.append(buffer, n);
    ::close(channel[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::rmdir(dir);
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 2;
    result.chroot_ok = code <= 1;
    result.mounts_ok = code == 0;
    return result;
  }();
  return probed;
}

int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
  ::remove(path);
  return 0;
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

void RootFixture::SetUp() {
  const Isolation& iso = isolation();
  if (!iso.chroot_ok) GTEST_SKIP() << "cannot enter a throwaway root here: " << iso.reason;
  char dir[] = "/tmp/installer-test-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  base_ = dir;
  root_ = base_ + "/root";
  for (const char* sub : {"", "/flash", "/ram", "/rw", "/tmp"}) make_dirs(sub);
}

void RootFixture::reset_root() {
  ::nftw(root_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
  for (const char* sub : {"", "/flash", "/ram", "/rw", "/tmp"}) make_dirs(sub);
}

void RootFixture::TearDown() {
  unmount_disk();
  if (!base_.empty()) ::nftw(base_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

void RootFixture::require_mounts() {
  if (!isolation().mounts_ok)
    GTEST_SKIP() << "tmpfs mounts are not allowed here: " << isolation().reason;
}

void RootFixture::make_dirs(const std::string& path) {
  std::string partial = root_;
  std::stringstream parts(path);
  std::string part;
  ::mkdir(partial.c_str(), 0755);
  while (std::getline(parts, part, '/')) {
    if (part.empty()) continue;
    partial += "/" + part;
    ::mkdir(partial.c_str(), 0755);
  }
}

void RootFixture::write_file(const std::string& path, const std::string& contents, unsigned mode) {
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) make_dirs(path.substr(0, slash));
  const std::string target = host_path(path);
  std::ofstream out(target, std::ios::binary | std::ios::trunc);
  out << contents;
  out.close();
  ASSERT_TRUE(out) << "writing " << target;
  ::chmod(target.c_str(), mode);
}

std::string RootFixture::read_file(const std::string& path) const { return slurp(host_path(path)); }

std::string RootFixture::link_target(const std::string& path) const {
  std::error_code error;
  return std::filesystem::read_symlink(host_path(path), error);
}

bool RootFixture::exists(const std::string& path) const {
  struct stat info;
  return ::lstat(host_path(path).c_str(), &info) == 0;
}

std::string RootFixture::tree(const std::string& dir) const {
  std::string text;
  for (const auto& [path, line] : tree_entries(dir)) text += line + "\n";
  return text;
}

std::map<std::string, std::string> RootFixture::tree_entries(const std::string& dir,
                                                             bool whole) const {
  std::error_code error;
  std::map<std::string, std::string> lines;
  const std::string top = host_path(dir);
  for (auto it = std::filesystem::recursive_directory_iterator(top, error);
       !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    const std::string path = it->path().string().substr(root_.size());
    struct stat info;
    if (::lstat(it->path().c_str(), &info) != 0) continue;
    std::string line = path;
    // The staging directory of an idle root is empty; only what is left in it shows.
    if (S_ISDIR(info.st_mode) && it->path().filename() == ".staging") continue;
    if (S_ISDIR(info.st_mode)) {
      line += "/";
    } else if (S_ISLNK(info.st_mode)) {
      line += " -> " + std::filesystem::read_symlink(it->path(), error).string();
    } else {
      const std::string contents = slurp(it->path());
      line += "=" + contents.substr(0, 64) + (contents.size() > 64 ? "..." : "");
      if (whole && contents.size() > 64) {
        line += " size=" + std::to_string(contents.size()) +
                " hash=" + std::to_string(std::hash<std::string>()(contents));
      }
      const unsigned mode = info.st_mode & 07777;
      if (mode != 0600 && mode != 0644) {
        char octal[8];
        std::snprintf(octal, sizeof octal, "%04o", mode);
        line += std::string(" mode=") + octal;
      }
    }
    lines[path] = line;
  }
  return lines;
}

std::string tree_differences(const std::map<std::string, std::string>& expected,
                             const std::map<std::string, std::string>& actual) {
  const auto printable = [](const std::string& line) {
    std::string text;
    for (const unsigned char c : line) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      text += c >= 0x20 && c < 0x7f ? std::string(1, char(c)) : std::string(escaped);
    }
    return text;
  };
  std::string text;
  for (const auto& [path, line] : expected) {
    const auto found = actual.find(path);
    if (found != actual.end() && found->second == line) continue;
    text += "-" + printable(line) + "\n";
    if (found != actual.end()) text += "+" + printable(found->second) + "\n";
  }
  for (const auto& [path, line] : actual) {
    if (expected.count(path) == 0) text += "+" + printable(line) + "\n";
  }
  return text;
}

RunResult RootFixture::run_in_root(const std::function<int()>& body, const ChildOptions& options) {
  return run_child(body, options, true);
}

RunResult RootFixture::run_outside_root(const std::function<int()>& body,
                                        const ChildOptions& options) {
  return run_child(body, options, false);
}

RunResult RootFixture::run_child(const std::function<int()>& body, const ChildOptions& options,
                                 bool enter_root) {
  RunResult result;
  const std::string out_path = base_ + "/stdout";
  const std::string err_path = base_ + "/stderr";
  const std::string in_path = base_ + "/stdin";
  {
    std::ofstream in(in_path, std::ios::binary | std::ios::trunc);
    in << options.stdin_data;
  }
  int feed[2] = {-1, -1};
  if (options.stdin_pipe && ::pipe(feed) != 0) {
    ADD_FAILURE() << "pipe failed";
    return result;
  }
  std::cout.flush();
  std::fflush(nullptr);
  const bool traced = options.kill_at_step > 0 || options.fault;
  const pid_t pid = ::fork();
  if (pid < 0) {
    ADD_FAILURE() << "fork failed";
    return result;
  }
  if (pid == 0) {
    const int in = options.stdin_pipe ? feed[0] : ::open(in_path.c_str(), O_RDONLY);
    const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    if (options.stdin_pipe) ::close(feed[1]);
    std::string reason;
    const bool namespaced = enter_namespaces(reason);
    if (!namespaced && !options.mounts.empty()) {
      std::fprintf(stderr, "fixture: %s\n", reason.c_str());
      ::_exit(SETUP_FAILED);
    }
    for (const TmpfsMount& mount : options.mounts) {
      const std::string target = root_ + mount.path;
      const std::string data = "size=" + mount.size;
      if (::mount("tmpfs", target.c_str(), "tmpfs", 0, data.c_str()) != 0) {
        std::fprintf(stderr, "fixture: mount %s: %s\n", target.c_str(), std::strerror(errno));
        ::_exit(SETUP_FAILED);
      }
    }
    for (const auto& [name, value] : options.env) ::setenv(name.c_str(), value.c_str(), 1);
    for (const std::string& name : options.unset_env) ::unsetenv(name.c_str());
    if (enter_root && (::chroot(root_.c_str()) != 0 || ::chdir("/") != 0)) {
      std::fprintf(stderr, "fixture: chroot %s: %s\n", root_.c_str(), std::strerror(errno));
      ::_exit(SETUP_FAILED);
    }
    // Not traceable (under an emulator), it runs to its end untouched.
    if (traced && ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) == 0) {
      ::raise(SIGSTOP);
    }
    const int status = body();
    std::cout.flush();
    std::fflush(nullptr);
    ::_exit(status & 0xFF);
  }
  if (options.stdin_pipe) {
    ::close(feed[0]);
    const sighandler_t previous = ::signal(SIGPIPE, SIG_IGN);
    const char* data = options.stdin_data.data();
    size_t left = options.stdin_data.size();
    while (left > 0) {
      const ssize_t n = ::write(feed[1], data, left);
      if (n <= 0) break;  // the child stopped reading
      data += n;
      left -= static_cast<size_t>(n);
    }
    ::close(feed[1]);
    ::signal(SIGPIPE, previous);
  }
  int status = 0;
  if (traced) {
    trace_child(pid, options.kill_at_step, options.fault ? &*options.fault : nullptr, status,
                result);
  } else {
    ::waitpid(pid, &status, 0);
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.out = slurp(out_path);
  result.err = slurp(err_path);
  if (result.status == SETUP_FAILED && result.err.rfind("fixture:", 0) == 0) {
    ADD_FAILURE() << result.err;
  }
  return result;
}
