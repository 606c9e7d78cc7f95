#include "testing/root_fixture.h"

#include <fcntl.h>
#include <ftw.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "installer/entry.h"
#include "installer/repository.h"

namespace {

constexpr int SETUP_FAILED = 125;

bool write_text(const char* path, const std::string& text) {
  const int fd = ::open(path, O_WRONLY);
  if (fd < 0) return false;
  const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  return ok;
}

// Enters a private mount namespace (and, when not root, a user namespace that maps us
// to root). Returns false with a reason when that is not allowed.
bool enter_namespaces(std::string& reason) {
  const uid_t uid = ::geteuid();
  const gid_t gid = ::getegid();
  if (uid == 0) {
    if (::unshare(CLONE_NEWNS) != 0) {
      reason = std::string("unshare(CLONE_NEWNS): ") + std::strerror(errno);
      return false;
    }
  } else {
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
      reason = std::string("unshare(CLONE_NEWUSER|CLONE_NEWNS): ") + std::strerror(errno);
      return false;
    }
    if (!write_text("/proc/self/setgroups", "deny") ||
        !write_text("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
        !write_text("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
      reason = "could not map the user to root in a user namespace";
      return false;
    }
  }
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    reason = std::string("making mounts private: ") + std::strerror(errno);
    return false;
  }
  return true;
}

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

void RootFixture::TearDown() {
  if (!base_.empty()) ::nftw(base_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

void RootFixture::require_mounts() {
  if (!isolation().mounts_ok) GTEST_SKIP() << "tmpfs mounts are not allowed here: "
                                           << isolation().reason;
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

void RootFixture::write_file(const std::string& path, const std::string& contents,
                             unsigned mode) {
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) make_dirs(path.substr(0, slash));
  const std::string target = host_path(path);
  std::ofstream out(target, std::ios::binary | std::ios::trunc);
  out << contents;
  out.close();
  ASSERT_TRUE(out) << "writing " << target;
  ::chmod(target.c_str(), mode);
}

std::string RootFixture::read_file(const std::string& path) const {
  return slurp(host_path(path));
}

bool RootFixture::exists(const std::string& path) const {
  struct stat info;
  return ::lstat(host_path(path).c_str(), &info) == 0;
}

RunResult RootFixture::run_in_root(const std::function<int()>& body,
                                   const ChildOptions& options) {
  return run_child(body, options, true);
}

RunResult RootFixture::run_installer(const std::vector<std::string>& args,
                                     const ChildOptions& options) {
  return run_child(
      [&args] {
        std::vector<std::string> words = {"installer"};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        return ::run_installer(static_cast<int>(words.size()), argv.data());
      },
      options, true);
}

RunResult RootFixture::run_binary(const std::vector<std::string>& args,
                                  const ChildOptions& options) {
  return run_child(
      [&args]() -> int {
        // LeakSanitizer needs /proc, which the program's own root change leaves behind.
        ::setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
#ifdef INSTALLER_EMULATOR
        // A cross build's program runs through the emulator that runs the tests.
        std::vector<std::string> words = {INSTALLER_EMULATOR, INSTALLER_BINARY};
#else
        std::vector<std::string> words = {INSTALLER_BINARY};
#endif
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        std::perror(("exec " + words[0]).c_str());
        return SETUP_FAILED;
      },
      options, false);
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
    Repository::instance().reset();
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
  ::waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.out = slurp(out_path);
  result.err = slurp(err_path);
  if (result.status == SETUP_FAILED && result.err.rfind("fixture:", 0) == 0) {
    ADD_FAILURE() << result.err;
  }
  return result;
}
