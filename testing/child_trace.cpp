#include "testing/child_trace.h"

#include <signal.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>

namespace {

// Each call a fault may name, and what it does to the files as the trace records it:
// "rename", "sync" (a flush), "change", or null for nothing it records.
struct Call {
  const char* name;
  long number;
  const char* kind;
};
const Call CALLS[] = {
    {"rename", SYS_renameat, "rename"},   {"rename", SYS_renameat2, "rename"},
    {"unlink", SYS_unlinkat, "change"},   {"symlink", SYS_symlinkat, "change"},
    {"link", SYS_linkat, "change"},       {"mkdir", SYS_mkdirat, "change"},
    {"syncfs", SYS_syncfs, "sync"},       {"fsync", SYS_fsync, "sync"},
    {"fdatasync", SYS_fdatasync, "sync"}, {"sync", SYS_sync, "sync"},
    {"fchmod", SYS_fchmod, nullptr},      {"chmod", SYS_fchmodat, nullptr},
    {"write", SYS_write, nullptr},        {"write", SYS_writev, nullptr},
    {"write", SYS_pwrite64, nullptr},     {"write", SYS_pwritev, nullptr},
    {"close", SYS_close, nullptr},
#ifdef SYS_rename  // the old calls, where the architecture has them
    {"rename", SYS_rename, "rename"},     {"unlink", SYS_unlink, "change"},
    {"rmdir", SYS_rmdir, "change"},       {"symlink", SYS_symlink, "change"},
    {"link", SYS_link, "change"},         {"mkdir", SYS_mkdir, "change"},
    {"chmod", SYS_chmod, nullptr},
#endif
};

const char* call_kind(uint64_t number) {
  for (const Call& call : CALLS) {
    if (uint64_t(call.number) == number) return call.kind;
  }
  return nullptr;
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

// A failed call's number becomes -1 at the entry, so the kernel skips it, and its result
// the error at the exit. Signals other than the tracing's own reach the child.
void trace_child(pid_t pid, int step, const InjectedFault* fault, int& status, RunResult& result) {
  ::waitpid(pid, &status, 0);
  ::ptrace(PTRACE_SETOPTIONS, pid, nullptr,
           PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL | PTRACE_O_TRACEEXEC);
  int seen = 0, matched = 0, signal = 0;
  bool failing = false;
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
    for (const Call& call : CALLS) {
      if (fault && uint64_t(call.number) == info.entry.nr && fault->call == call.name &&
          ++matched == fault->nth) {
        failing = change_registers(pid, true, -1);
      }
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
