#include "testing/child_trace.h"

#include <signal.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

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

}  // namespace

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
