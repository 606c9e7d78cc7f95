#include "testing/root_fixture.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>

#include "testing/child_trace.h"
#include "testing/isolation.h"
#include "transaction/manifest.h"

namespace {

constexpr int SETUP_FAILED = 125;

struct Isolation {
  bool chroot_ok = false, mounts_ok = false;
  std::string reason;
};

// Asks a child once whether it can enter a root, and mount a tmpfs there.
const Isolation& isolation() {
  static const Isolation probed = [] {
    Isolation result{false, false, "mkdtemp or pipe failed"};
    char dir[] = "/tmp/installer-probe-XXXXXX";
    int channel[2];
    if (!::mkdtemp(dir) || ::pipe(channel) != 0) return result;
    const pid_t pid = ::fork();
    if (pid == 0) {
      std::string reason;
      int code = enter_namespaces(reason) ? 0 : 1;
      if (code == 0 && ::mount("tmpfs", dir, "tmpfs", 0, "size=16k") != 0) {
        code = 1;
        reason = "tmpfs mount refused";
      }
      if (::chroot(dir) != 0) {
        code = 2;
        reason = std::string("chroot: ") + std::strerror(errno);
      }
      (void)!::write(channel[1], reason.data(), reason.size());
      ::_exit(code);
    }
    ::close(channel[1]);
    char buffer[512];
    result.reason.assign(buffer, std::max<ssize_t>(::read(channel[0], buffer, sizeof buffer), 0));
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

}  // namespace

std::string staged_source(const Manifest& manifest, const std::string& path) {
  const std::optional<ManifestOp> found = manifest.find(path);
  return found ? found->source : "";
}

void RootFixture::SetUp() {
  if (!isolation().chroot_ok) {
    GTEST_SKIP() << "cannot enter a throwaway root here: " << isolation().reason;
  }
  char dir[] = "/tmp/installer-test-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  base_ = dir;
  root_ = base_ + "/root";
  reset_root();
}

void RootFixture::reset_root() {
  std::error_code error;
  std::filesystem::remove_all(root_, error);
  for (const char* sub : {"", "/flash", "/ram", "/rw", "/tmp"}) make_dirs(sub);
}

void RootFixture::TearDown() {
  unmount_disk();
  std::error_code error;
  if (!base_.empty()) std::filesystem::remove_all(base_, error);
}

void RootFixture::require_mounts() {
  if (!isolation().mounts_ok) {
    GTEST_SKIP() << "tmpfs mounts are not allowed here: " << isolation().reason;
  }
}

void RootFixture::write_file(const std::string& path, const std::string& contents, unsigned mode) {
  make_dirs(std::filesystem::path(path).parent_path());
  ASSERT_TRUE(put_file(host_path(path), contents)) << "writing " << host_path(path);
  ::chmod(host_path(path).c_str(), mode);
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
  for (auto it = std::filesystem::recursive_directory_iterator(host_path(dir), error);
       !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    const std::string path = it->path().string().substr(root_.size());
    struct stat info;
    if (::lstat(it->path().c_str(), &info) != 0) continue;
    std::string& line = lines[path] = path;
    if (S_ISDIR(info.st_mode)) {
      line += "/";
      // The staging directory of an idle root is empty; only what is left in it shows.
      if (it->path().filename() == ".staging") lines.erase(path);
      continue;
    }
    if (S_ISLNK(info.st_mode)) {
      line += " -> " + std::filesystem::read_symlink(it->path(), error).string();
      continue;
    }
    const std::string contents = file_text(it->path());
    line += "=" + contents.substr(0, 64) + (contents.size() > 64 ? "..." : "");
    if (whole && contents.size() > 64) {
      line += " size=" + std::to_string(contents.size()) +
              " hash=" + std::to_string(std::hash<std::string>()(contents));
    }
    char octal[16];
    std::snprintf(octal, sizeof octal, " mode=%04o", info.st_mode & 07777);
    if ((info.st_mode & 07777) != 0600 && (info.st_mode & 07777) != 0644) line += octal;
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

RunResult RootFixture::run_child(const std::function<int()>& body, const ChildOptions& options,
                                 bool enter_root) {
  RunResult result;
  const std::string in_path = base_ + "/stdin";
  if (!put_file(in_path, options.stdin_data)) {
    ADD_FAILURE() << "standard input could not be prepared";
    return result;
  }
  std::cout.flush();
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) child_main(body, options, enter_root, ::open(in_path.c_str(), O_RDONLY));
  if (pid < 0) {
    ADD_FAILURE() << "fork failed";
    return result;
  }
  int status = 0;
  if (options.kill_at_step > 0 || options.fault) {
    trace_child(pid, options.kill_at_step, options.fault ? &*options.fault : nullptr, status,
                result);
  } else {
    ::waitpid(pid, &status, 0);
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.out = file_text(base_ + "/stdout");
  result.err = file_text(base_ + "/stderr");
  if (result.status == SETUP_FAILED && result.err.rfind("fixture:", 0) == 0) {
    ADD_FAILURE() << result.err;
  }
  return result;
}

// In the forked child: standard streams, namespaces and mounts, environment, the root, then
// the body; a step that fails exits with SETUP_FAILED and says why.
void RootFixture::child_main(const std::function<int()>& body, const ChildOptions& options,
                             bool enter_root, int input) {
  const auto setup_failed = [](const std::string& why) {
    std::fprintf(stderr, "fixture: %s\n", why.c_str());
    ::_exit(SETUP_FAILED);
  };
  ::dup2(input, 0);
  ::dup2(::open((base_ + "/stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
  ::dup2(::open((base_ + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
  std::string reason;
  if (!enter_namespaces(reason) && !options.mounts.empty()) setup_failed(reason);
  for (const TmpfsMount& mount : options.mounts) {
    const std::string target = root_ + mount.path;
    if (::mount("tmpfs", target.c_str(), "tmpfs", 0, ("size=" + mount.size).c_str()) != 0) {
      setup_failed("mount " + target + ": " + std::strerror(errno));
    }
  }
  for (const auto& [name, value] : options.env) ::setenv(name.c_str(), value.c_str(), 1);
  if (enter_root && (::chroot(root_.c_str()) != 0 || ::chdir("/") != 0)) {
    setup_failed("chroot " + root_ + ": " + std::strerror(errno));
  }
  // Not traceable (under an emulator), it runs to its end untouched.
  if ((options.kill_at_step > 0 || options.fault) &&
      ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) == 0) {
    ::raise(SIGSTOP);
  }
  const int status = body();
  std::cout.flush();
  std::fflush(nullptr);
  ::_exit(status & 0xFF);
}
