/* Runs a command and prints its wall time and peak resident memory as the kernel counts
 * them (wait4's ru_maxrss, in KiB on Linux), on standard error:
 *   runstat: status=S seconds=T max_rss_kib=M
 * BusyBox's time -v scales ru_maxrss as if it were pages, so it cannot be used. */
#include <stdio.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: runstat command [argument...]\n");
    return 2;
  }
  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  pid_t child = fork();
  if (child < 0) {
    perror("runstat: fork");
    return 2;
  }
  if (child == 0) {
    execvp(argv[1], argv + 1);
    perror("runstat: exec");
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  if (wait4(child, &status, 0, &usage) < 0) {
    perror("runstat: wait4");
    return 2;
  }
  clock_gettime(CLOCK_MONOTONIC, &end);
  double seconds = (double)(end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9;
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  fprintf(stderr, "runstat: status=%d seconds=%.3f max_rss_kib=%ld\n", code, seconds,
          usage.ru_maxrss);
  return code;
}
