// Staged data is flushed to the disk in the background while more is being made: the kernel
// runs an fdatasync of the file being written (through an io_uring; the program itself stays
// single-threaded), so that the flush the commit waits for finds little left to do.
#pragma once

#include <cstdint>
#include <memory>

// The kernel's side, behind a seam that tests replace: one flush at a time.
class FlushBackend {
 public:
  virtual ~FlushBackend() = default;
  // Starts flushing the data of the file open at `fd`; false when the kernel cannot. The
  // flush holds the file open until it has ended, whatever becomes of `fd`.
  virtual bool start(int fd) = 0;
  // True once the flush started last has ended, with its result (0, or -errno); with
  // `wait` it waits for that end, else false while it runs.
  virtual bool finish(bool wait, int& result) = 0;
};

class BackgroundFlush {
 public:
  static constexpr uint64_t FLUSH_STEP = 8 << 20;

  // Counts `bytes` just written to `fd`, a file bound for the flash. Once FLUSH_STEP bytes
  // have gathered since the last flush began, and none runs, starts a flush of that file.
  // Never waits: the caller goes on writing while the disk works.
  static void note_written(int fd, uint64_t bytes);
  // The first loss of data (errno: EIO, ENOSPC, EROFS ...) a finished flush reported since
  // the transaction began, or 0; seen without waiting.
  static int error();
  // Waits for the flush that runs, if any; then as error(). Called before the space of the
  // flash is judged (a running flush keeps a deleted file's blocks taken until it ends) and
  // before a package counts as installed.
  static int settle();
  // Waits as settle, and forgets the error: the commit or cancel ends the staging.
  static void end_transaction();

  // Puts `backend` in place of the kernel's (null: the kernel's again), forgetting what
  // runs and what failed.
  static void replace_backend(std::unique_ptr<FlushBackend> backend);
  // A new backend on the kernel's io_uring.
  static std::unique_ptr<FlushBackend> kernel_backend();
};
