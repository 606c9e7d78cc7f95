#include "transaction/background_flush.h"

#include <linux/io_uring.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// fdatasync through an io_uring (Linux 5.1 on): the kernel runs it on a worker of its own and
// posts its result in the completion ring, which is read without a system call. Kernel AIO
// would do as well, but its context makes the process's exit wait for a grace period.
class KernelFlush : public FlushBackend {
 public:
  ~KernelFlush() override {
    if (submissions_ != nullptr) ::munmap(submissions_, submissions_size_);
    if (rings_ != nullptr) ::munmap(rings_, rings_size_);
    if (ring_ >= 0) ::close(ring_);
  }

  bool start(int fd) override {
    if (broken_ || (!ready_ && !(ready_ = set_up()))) return false;  // set-up goes at the end
    const unsigned tail = *submit_tail_;                             // only this process writes it
    const unsigned index = tail & submit_mask_;
    io_uring_sqe& request = submissions_[index];
    std::memset(&request, 0, sizeof request);
    request.opcode = IORING_OP_FSYNC;
    request.fd = fd;
    request.fsync_flags = IORING_FSYNC_DATASYNC;
    request.user_data = ++started_;
    submit_array_[index] = index;
    __atomic_store_n(submit_tail_, tail + 1, __ATOMIC_RELEASE);
    long entered;
    do {
      entered = ::syscall(__NR_io_uring_enter, ring_, 1u, 0u, 0u, nullptr, size_t(0));
    } while (entered < 0 && errno == EINTR);
    broken_ = entered != 1;
    return !broken_;
  }

  bool finish(bool wait, int& result) override {
    for (;;) {
      const unsigned head = *complete_head_;  // only this process writes it
      if (head != __atomic_load_n(complete_tail_, __ATOMIC_ACQUIRE)) {
        const io_uring_cqe& completion = completions_[head & complete_mask_];
        const bool current = completion.user_data == started_;  // not one given up on
        result = completion.res;
        __atomic_store_n(complete_head_, head + 1, __ATOMIC_RELEASE);
        if (current) return true;
        continue;
      }
      if (!wait) return false;
      if (::syscall(__NR_io_uring_enter, ring_, 0u, 1u, unsigned(IORING_ENTER_GETEVENTS), nullptr,
                    size_t(0)) < 0 &&
          errno != EINTR) {
        // The ring no longer answers: of the flush nothing more can be known, and none is
        // started again.
        broken_ = true;
        result = 0;
        return true;
      }
    }
  }

 private:
  bool set_up() {
    io_uring_params params;
    std::memset(&params, 0, sizeof params);
    const long ring = ::syscall(__NR_io_uring_setup, 2, &params);
    if (ring < 0) return false;
    ring_ = int(ring);
    const size_t submit_size = params.sq_off.array + params.sq_entries * sizeof(unsigned);
    const size_t complete_size = params.cq_off.cqes + params.cq_entries * sizeof(io_uring_cqe);
    // Both rings in one mapping, as every kernel since 5.4 offers.
    if (!(params.features & IORING_FEAT_SINGLE_MMAP)) return false;
    rings_size_ = std::max(submit_size, complete_size);
    void* rings = ::mmap(nullptr, rings_size_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE,
                         ring_, IORING_OFF_SQ_RING);
    if (rings == MAP_FAILED) return false;
    rings_ = rings;
    submissions_size_ = params.sq_entries * sizeof(io_uring_sqe);
    void* submissions = ::mmap(nullptr, submissions_size_, PROT_READ | PROT_WRITE,
                               MAP_SHARED | MAP_POPULATE, ring_, IORING_OFF_SQES);
    if (submissions == MAP_FAILED) return false;
    submissions_ = static_cast<io_uring_sqe*>(submissions);
    char* const base = static_cast<char*>(rings_);
    submit_tail_ = reinterpret_cast<unsigned*>(base + params.sq_off.tail);
    submit_mask_ = *reinterpret_cast<unsigned*>(base + params.sq_off.ring_mask);
    submit_array_ = reinterpret_cast<unsigned*>(base + params.sq_off.array);
    complete_head_ = reinterpret_cast<unsigned*>(base + params.cq_off.head);
    complete_tail_ = reinterpret_cast<unsigned*>(base + params.cq_off.tail);
    complete_mask_ = *reinterpret_cast<unsigned*>(base + params.cq_off.ring_mask);
    completions_ = reinterpret_cast<io_uring_cqe*>(base + params.cq_off.cqes);
    return true;
  }

  bool ready_ = false;
  bool broken_ = false;
  uint64_t started_ = 0;  // flushes submitted; each carries its number
  int ring_ = -1;
  void* rings_ = nullptr;
  size_t rings_size_ = 0;
  io_uring_sqe* submissions_ = nullptr;
  size_t submissions_size_ = 0;
  unsigned* submit_tail_ = nullptr;
  unsigned submit_mask_ = 0;
  unsigned* submit_array_ = nullptr;
  unsigned* complete_head_ = nullptr;
  unsigned* complete_tail_ = nullptr;
  unsigned complete_mask_ = 0;
  io_uring_cqe* completions_ = nullptr;
};

struct State {
  pid_t owner = 0;  // a forked child shares neither the kernel's context nor its flush
  std::unique_ptr<FlushBackend> backend;
  bool running = false;
  bool refused = false;  // the backend could not start a flush: none is tried again
  int error = 0;
  uint64_t gathered = 0;
};

State& state() {
  static State* const current = new State;  // never freed: in use until the process ends
  return *current;
}

// The state, made this process's own first: a forked child has neither its parent's kernel
// context nor its flush. Asked only where a flush may start or end, so that a plain write
// costs no system call.
State& owned_state() {
  State& current = state();
  const pid_t self = ::getpid();
  if (current.owner != self) {
    const uint64_t gathered = current.gathered;
    current = State();
    current.owner = self;
    current.gathered = gathered;
  }
  if (!current.backend) current.backend = BackgroundFlush::kernel_backend();
  return current;
}

void finish(State& flush, bool wait) {
  if (!flush.running) return;
  int result = 0;
  if (!flush.backend->finish(wait, result)) return;
  flush.running = false;
  // A file that cannot be flushed this way leaves it to the commit's flush; any other
  // failure (EIO, ENOSPC, EROFS after the file system gave up ...) may have lost data.
  const int error = -result;
  const bool unable = error == EINVAL || error == EOPNOTSUPP || error == ECANCELED ||
                      error == EINTR || error == EBADF;
  if (flush.error == 0 && result < 0 && !unable) flush.error = error;
}

// The state when a flush runs or has failed, after finishing that flush (waiting for it with
// `wait`); null when there is neither, at no system call's cost.
State* finished_state(bool wait) {
  if (!state().running && state().error == 0) return nullptr;
  State& flush = owned_state();
  finish(flush, wait);
  return &flush;
}

}  // namespace

void BackgroundFlush::note_written(int fd, uint64_t bytes) {
  State& counted = state();
  counted.gathered += bytes;
  if (counted.gathered < FLUSH_STEP) return;
  if (counted.refused && counted.owner == ::getpid()) {
    counted.gathered = 0;  // asked again only a step later
    return;
  }
  State& flush = owned_state();
  finish(flush, false);
  if (flush.running) return;  // the disk is still at the last one: try at a later write
  flush.gathered = 0;
  flush.running = flush.backend->start(fd);
  flush.refused = !flush.running;
}

int BackgroundFlush::error() {
  const State* flush = finished_state(false);
  return flush ? flush->error : 0;
}

int BackgroundFlush::settle() {
  const State* flush = finished_state(true);
  return flush ? flush->error : 0;
}

void BackgroundFlush::end_transaction() {
  if (State* flush = finished_state(true)) flush->error = 0;
}

std::unique_ptr<FlushBackend> BackgroundFlush::kernel_backend() {
  return std::make_unique<KernelFlush>();
}

void BackgroundFlush::replace_backend(std::unique_ptr<FlushBackend> backend) {
  State& flush = state();
  flush = State();
  flush.owner = ::getpid();
  flush.backend = backend ? std::move(backend) : kernel_backend();
}
