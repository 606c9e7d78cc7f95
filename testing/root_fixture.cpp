#include "testing/root_fixture.h"

#include <fcntl.h>
#include <ftw.h>
#include <linux/loop.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <thread>

#include "package/repository.h"
#include "testing/isolation.h"

namespace {

constexpr int SETUP_FAILED = 125;

// What a system call does to the files, as the trace records it: "rename", "sync" (a
// flush), "change" (unlink, rmdir, symlink, link, mkdir), or null for anything else.
const char* call_kind(uint64_t number) {
  static const std::pair<long, const char*> kinds[] = {
#ifdef SYS_rename
      {SYS_rename, "rename"},
#endif
#ifdef SYS_unlink
      {SYS_unlink, "change"},
#endif
#ifdef SYS_rmdir
      {SYS_rmdir, "change"},
#endif
#ifdef SYS_symlink
      {SYS_symlink, "change"},
#endif
#ifdef SYS_link
      {SYS_link, "change"},
#endif
#ifdef SYS_mkdir
      {SYS_mkdir, "change"},
#endif
      {SYS_renameat, "rename"},  {SYS_renameat2, "rename"}, {SYS_unlinkat, "change"},
      {SYS_symlinkat, "change"}, {SYS_linkat, "change"},    {SYS_mkdirat, "change"},
      {SYS_syncfs, "sync"},      {SYS_fsync, "sync"},       {SYS_fdatasync, "sync"},
      {SYS_sync, "sync"},
  };
  for (const auto& [known, kind] : kinds) {
    if (uint64_t(known) == number) return kind;
  }
  return nullptr;
}

// The system calls a fault's name stands for.
std::vector<long> calls_named(const std::string& name) {
  static const std::pair<const char*, long> names[] = {
      {"syncfs", SYS_syncfs},     {"fsync", SYS_fsync},      {"fdatasync", SYS_fdatasync},
      {"rename", SYS_renameat},   {"rename", SYS_renameat2}, {"unlink", SYS_unlinkat},
      {"symlink", SYS_symlinkat}, {"mkdir", SYS_mkdirat},    {"fchmod", SYS_fchmod},
      {"chmod", SYS_fchmodat},    {"link", SYS_linkat},      {"write", SYS_write},
      {"write", SYS_writev},      {"write", SYS_pwrite64},   {"write", SYS_pwritev},
      {"close", SYS_close},
#ifdef SYS_rename
      {"rename", SYS_rename},     {"unlink", SYS_unlink},    {"rmdir", SYS_rmdir},
      {"symlink", SYS_symlink},   {"mkdir", SYS_mkdir},      {"chmod", SYS_chmod},
      {"link", SYS_link},
#endif
  };
  std::vector<long> numbers;
  for (const auto& [known, number] : names) {
    if (name == known) numbers.push_back(number);
  }
  return numbers;
}

// The register changes that fail a call: only where the tests know the registers.
#if defined(__x86_64__)
bool change_registers(pid_t pid, bool entry, long value) {
  struct user_regs_struct regs;
  if (::ptrace(PTRACE_GETREGS, pid, nullptr, &regs) != 0) return false;
  (entry ? regs.orig_rax : regs.rax) = static_cast<unsigned long long>(value);
  return ::ptrace(PTRACE_SETREGS, pid, nullptr, &regs) == 0;
}
#else
bool change_registers(pid_t, bool, long) { return false; }
#endif

// Follows the traced child (stopped by itself at the start) from system call to system
// call, recording what each does to the files; kills it as it enters the step-th that
// changes or flushes them (none when `step` is 0), and fails the fault's call: its number
// becomes -1 at the entry, so the kernel skips it, and its result the error at the exit.
// Signals other than the tracing's own reach the child.
void trace_child(pid_t pid, int step, const InjectedFault* fault, int& status, RunResult& result) {
  ::waitpid(pid, &status, 0);
  ::ptrace(PTRACE_SETOPTIONS, pid, nullptr,
           PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL | PTRACE_O_TRACEEXEC);
  const std::vector<long> faulted = fault ? calls_named(fault->call) : std::vector<long>();
  int seen = 0;
  int matched = 0;
  bool failing = false;
  int signal = 0;
  for (;;) {
    if (::ptrace(PTRACE_SYSCALL, pid, nullptr, reinterpret_cast<void*>(intptr_t(signal))) != 0) {
      break;
    }
    signal = 0;
    if (::waitpid(pid, &status, 0) < 0 || WIFEXITED(status) || WIFSIGNALED(status)) break;
    if (!WIFSTOPPED(status) || (status >> 16) != 0) continue;  // an exec's event stop
    if (WSTOPSIG(status) != (SIGTRAP | 0x80)) {
      signal = WSTOPSIG(status);
      continue;
    }
    struct __ptrace_syscall_info info;
    if (::ptrace(PTRACE_GET_SYSCALL_INFO, pid, sizeof info, &info) <= 0) continue;
    if (info.op == PTRACE_SYSCALL_INFO_EXIT && failing) {
      failing = false;
      result.injected = change_registers(pid, false, -long(fault->error));
    }
    if (info.op != PTRACE_SYSCALL_INFO_ENTRY) continue;
    if (const char* kind = call_kind(info.entry.nr)) {
      result.calls.push_back(kind);
      if (++seen == step) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        result.killed = true;
        return;
      }
    }
    if (std::find(faulted.begin(), faulted.end(), long(info.entry.nr)) != faulted.end() &&
        ++matched == fault->nth) {
      failing = change_registers(pid, true, -1);
    }
  }
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

// Runs a program found on PATH, its output going to `log`; its exit status, or -1 when it
// could not be started.
int run_program(const std::vector<std::string>& words, const std::string& log) {
  std::cout.flush();
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(out, 1);
    ::dup2(out, 2);
    std::vector<char*> argv;
    for (const std::string& word : words) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) < 0) return -1;
  return WIFEXITED(status) && WEXITSTATUS(status) != 127 ? WEXITSTATUS(status) : -1;
}

// Moves the test process, once, into a mount namespace of its own whose mounts propagate
// nowhere: a disk root mounted there vanishes with the process, whatever becomes of it.
// Empty, or why it cannot.
const std::string& private_mount_namespace() {
  static const std::string failure = []() -> std::string {
    if (::unshare(CLONE_NEWNS) != 0) {
      return std::string("unshare(CLONE_NEWNS): ") + std::strerror(errno);
    }
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      return std::string("making mounts private: ") + std::strerror(errno);
    }
    return "";
  }();
  return failure;
}

// Binds `backing` to the loop device open at `loop`, detached on its last close.
bool attach_loop(int loop, int backing) {
#ifdef LOOP_CONFIGURE
  struct loop_config config;
  std::memset(&config, 0, sizeof config);
  config.fd = static_cast<uint32_t>(backing);
  config.info.lo_flags = LO_FLAGS_AUTOCLEAR;
  if (::ioctl(loop, LOOP_CONFIGURE, &config) == 0) return true;
  if (errno != EINVAL && errno != ENOTTY) return false;
#endif
  if (::ioctl(loop, LOOP_SET_FD, backing) != 0) return false;
  struct loop_info64 info;
  std::memset(&info, 0, sizeof info);
  info.lo_flags = LO_FLAGS_AUTOCLEAR;
  if (::ioctl(loop, LOOP_SET_STATUS64, &info) == 0) return true;
  const int error = errno;
  ::ioctl(loop, LOOP_CLR_FD, 0);
  errno = error;
  return false;
}

// From linux/ext4.h, which not every system's headers carry.
constexpr unsigned long EXT4_SHUTDOWN = _IOR('X', 125, uint32_t);
constexpr uint32_t EXT4_NOLOGFLUSH = 2;

}  // namespace

bool can_trace_children() {
  static const bool traceable = [] {
    const pid_t pid = ::fork();
    if (pid == 0) {
      if (::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) ::_exit(2);
      ::raise(SIGSTOP);
      ::_exit(::mkdir("/", 0) == 0 ? 1 : 0);
    }
    int status = 0;
    RunResult result;
    trace_child(pid, 1, nullptr, status, result);
    if (!result.killed) ::waitpid(pid, &status, WNOHANG);
    return result.killed;
  }();
  return traceable;
}

bool can_inject_faults() {
  static const bool works = [] {
    char dir[] = "/tmp/installer-fault-XXXXXX";
    if (!can_trace_children() || !::mkdtemp(dir)) return false;
    const std::string made = std::string(dir) + "/made";
    const pid_t pid = ::fork();
    if (pid == 0) {
      if (::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) ::_exit(2);
      ::raise(SIGSTOP);
      const bool failed = ::mkdir(made.c_str(), 0755) != 0 && errno == EROFS;
      ::_exit(failed ? 0 : 1);
    }
    const InjectedFault fault{"mkdir", 1, EROFS};
    int status = 0;
    RunResult result;
    trace_child(pid, 0, &fault, status, result);
    // The call must have been skipped, not only its result replaced.
    const bool skipped = ::rmdir(made.c_str()) != 0;
    ::rmdir(dir);
    return result.injected && skipped && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }();
  return works;
}

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

void RootFixture::use_disk_root() {
  if (::geteuid() != 0) GTEST_SKIP() << "a disk root needs root: loop devices and ext4 mounts";
  ASSERT_LT(loop_fd_, 0) << "the root is on a disk already";
  if (!private_mount_namespace().empty()) GTEST_SKIP() << private_mount_namespace();
  const std::string image = base_ + "/disk.img";
  const std::string log = base_ + "/mkfs.log";
  const int image_fd = ::open(image.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ASSERT_GE(image_fd, 0) << image << ": " << std::strerror(errno);
  const bool sized = ::ftruncate(image_fd, off_t(64) << 20) == 0;
  ::close(image_fd);
  ASSERT_TRUE(sized) << std::strerror(errno);
  const int made = run_program({"mkfs.ext4", "-q", "-F", image}, log);
  if (made < 0) GTEST_SKIP() << "mkfs.ext4 cannot be run here (Debian package e2fsprogs)";
  ASSERT_EQ(made, 0) << slurp(log);

  const int control = ::open("/dev/loop-control", O_RDWR | O_CLOEXEC);
  if (control < 0) {
    GTEST_SKIP() << "no loop devices here: /dev/loop-control: " << std::strerror(errno);
  }
  const int backing = ::open(image.c_str(), O_RDWR | O_CLOEXEC);
  std::string reason = "no free loop device";
  // Another process may take the device between the question and the binding.
  for (int attempt = 0; attempt < 16 && loop_fd_ < 0; ++attempt) {
    const int number = ::ioctl(control, LOOP_CTL_GET_FREE);
    if (number < 0) {
      reason = std::string("LOOP_CTL_GET_FREE: ") + std::strerror(errno);
      break;
    }
    const std::string path = "/dev/loop" + std::to_string(number);
    const int loop = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (loop >= 0 && attach_loop(loop, backing)) {
      loop_fd_ = loop;
      loop_path_ = path;
      break;
    }
    const int error = errno;
    reason = path + ": " + std::strerror(error);
    if (loop >= 0) ::close(loop);
    if (error != EBUSY) break;
  }
  ::close(backing);
  ::close(control);
  if (loop_fd_ < 0) GTEST_SKIP() << "no loop device could be attached: " << reason;
  if (::mount(loop_path_.c_str(), root_.c_str(), "ext4", 0, "noauto_da_alloc") != 0) {
    reason = std::strerror(errno);
    unmount_disk();
    GTEST_SKIP() << "ext4 mount refused: " << reason;
  }
  // Flags it does not know make the shutdown fail without acting; an emulator that does not
  // pass the request on fails it otherwise.
  const int top = ::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  uint32_t unknown = ~0u;
  const bool known = ::ioctl(top, EXT4_SHUTDOWN, &unknown) != 0 && errno == EINVAL;
  reason = std::strerror(errno);
  ::close(top);
  if (!known) {
    unmount_disk();
    GTEST_SKIP() << "EXT4_IOC_SHUTDOWN is not available here: " << reason;
  }
  ::rmdir((root_ + "/lost+found").c_str());  // the plain root has none
  for (const char* sub : {"/flash", "/ram", "/rw", "/tmp"}) make_dirs(sub);
}

void RootFixture::lose_page_cache() {
  ASSERT_GE(loop_fd_, 0) << "the root is not on a disk (use_disk_root)";
  const int fd = ::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  uint32_t flags = EXT4_NOLOGFLUSH;
  const bool down = fd >= 0 && ::ioctl(fd, EXT4_SHUTDOWN, &flags) == 0;
  const int error = errno;
  if (fd >= 0) ::close(fd);
  ASSERT_TRUE(down) << "EXT4_IOC_SHUTDOWN: " << std::strerror(error);
  // A mount that still lives elsewhere (a child's namespace on its way out) would bring the
  // shut-down file system back as it is: mounted again until it works.
  const std::string probe = root_ + "/.mount-probe";
  for (int attempt = 0;; ++attempt) {
    ASSERT_EQ(::umount(root_.c_str()), 0) << "umount: " << std::strerror(errno);
    ASSERT_EQ(::mount(loop_path_.c_str(), root_.c_str(), "ext4", 0, "noauto_da_alloc"), 0)
        << "mount: " << std::strerror(errno);
    if (::mkdir(probe.c_str(), 0700) == 0 && ::rmdir(probe.c_str()) == 0) return;
    ASSERT_LT(attempt, 100) << "the file system stays shut down: " << std::strerror(errno);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void RootFixture::unmount_disk() {
  if (loop_fd_ < 0) return;
  if (::umount(root_.c_str()) != 0) ::umount2(root_.c_str(), MNT_DETACH);
  ::ioctl(loop_fd_, LOOP_CLR_FD, 0);
  ::close(loop_fd_);
  loop_fd_ = -1;
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
    Repository::instance().reset();
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
