// Staged data is flushed to the disk by a thread of its own while more is being made, so
// that the flush the commit waits for finds little left to do.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>

class BackgroundFlush {
 public:
  // Counts `bytes` just written to `fd`, a file bound for the flash. Once FLUSH_STEP bytes
  // have gathered since the last flush began, and none is running, starts a flush of that
  // file, with what its file system's journal holds by then (`fd` itself stays the
  // caller's; the flush has a descriptor of its own). Only the file: a copy that the run
  // may yet delete is not written out for nothing. Never fails and never waits: where no
  // thread can be started nothing is flushed early, and the commit's flush does it all.
  static void note_written(int fd, uint64_t bytes);

  static constexpr uint64_t FLUSH_STEP = 8 << 20;

  // What the thread does with its descriptor: fdatasync. Tests put their own in its place;
  // answers the one it replaced.
  using Action = void (*)(int fd);
  static Action replace_action(Action action);

 private:
  struct Flusher;
  // This process's flusher, started on first use; null when it cannot be.
  static Flusher* flusher();
  static void* serve(void* flusher);

  static Flusher* started_;  // never freed: its thread waits on it while the process lives
  static pid_t refused_in_;  // the process in which no thread could be started
  static uint64_t gathered_;
  static std::atomic<Action> action_;
};
