// Runs one command and prints what it cost, on one line of stdout:
//   wall=<s> maxrss_kib=<KiB> user=<s> sys=<s> status=<exit status, or 128+signal>
// The rusage comes from wait4, so maxrss is the peak of the command itself and of any
// child it waited for. Usage: bench_timed_run [--in FILE] [--out FILE] COMMAND [ARG...]
// --in feeds FILE to the command's standard input (default /dev/null); --out takes its
// standard output and error (default /dev/null). Not a test; the benchmark calls it.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

namespace {

double seconds(const timeval& value) { return double(value.tv_sec) + value.tv_usec / 1e6; }

double now() {
  timespec clock;
  ::clock_gettime(CLOCK_MONOTONIC, &clock);
  return double(clock.tv_sec) + clock.tv_nsec / 1e9;
}

int usage() {
  std::fprintf(stderr, "usage: bench_timed_run [--in FILE] [--out FILE] COMMAND [ARG...]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string input = "/dev/null", output = "/dev/null";
  int first = 1;
  for (; first + 1 < argc; first += 2) {
    if (std::strcmp(argv[first], "--in") == 0) {
      input = argv[first + 1];
    } else if (std::strcmp(argv[first], "--out") == 0) {
      output = argv[first + 1];
    } else {
      break;
    }
  }
  if (first >= argc) return usage();
  // Opened before the clock starts, so that neither open is counted.
  const int in = ::open(input.c_str(), O_RDONLY | O_CLOEXEC);
  const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (in < 0 || out < 0) {
    std::perror("bench_timed_run: open");
    return 2;
  }
  const double start = now();
  const pid_t child = ::fork();
  if (child < 0) {
    std::perror("bench_timed_run: fork");
    return 2;
  }
  if (child == 0) {
    if (::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(out, 2) < 0) _exit(126);
    ::execvp(argv[first], argv + first);
    _exit(127);
  }
  int wait_status = 0;
  rusage usage_of_child{};
  while (::wait4(child, &wait_status, 0, &usage_of_child) < 0) {
    if (errno != EINTR) {
      std::perror("bench_timed_run: wait4");
      return 2;
    }
  }
  const double wall = now() - start;
  const int status =
      WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
  std::printf("wall=%.6f maxrss_kib=%ld user=%.6f sys=%.6f status=%d\n", wall,
              usage_of_child.ru_maxrss, seconds(usage_of_child.ru_utime),
              seconds(usage_of_child.ru_stime), status);
  return 0;
}
