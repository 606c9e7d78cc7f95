#include "transaction/background_flush.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

struct BackgroundFlush::Flusher {
  pid_t owner = 0;
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t asked = PTHREAD_COND_INITIALIZER;
  int fd = -1;  // its own descriptor of the file to flush; -1 when idle
};

BackgroundFlush::Flusher* BackgroundFlush::started_ = nullptr;
pid_t BackgroundFlush::refused_in_ = 0;
uint64_t BackgroundFlush::gathered_ = 0;
std::atomic<BackgroundFlush::Action> BackgroundFlush::action_{[](int fd) {
  // Its result is not needed: the commit flushes again and judges that one.
  (void)::fdatasync(fd);
}};

BackgroundFlush::Action BackgroundFlush::replace_action(Action action) {
  return action_.exchange(action);
}

BackgroundFlush::Flusher* BackgroundFlush::flusher() {
  const pid_t self = ::getpid();
  // A forked child has none of its parent's threads, so it starts its own.
  if (started_ != nullptr && started_->owner == self) return started_;
  if (refused_in_ == self) return nullptr;
  Flusher* made = new Flusher;
  made->owner = self;
  // Signals stay with the thread that handles them.
  sigset_t all, before;
  ::sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &before);
  pthread_t thread;
  const bool running = ::pthread_create(&thread, nullptr, &BackgroundFlush::serve, made) == 0;
  ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
  if (!running) {
    delete made;
    refused_in_ = self;
    return nullptr;
  }
  ::pthread_detach(thread);
  started_ = made;
  return started_;
}

void* BackgroundFlush::serve(void* argument) {
  Flusher& flusher = *static_cast<Flusher*>(argument);
  ::pthread_mutex_lock(&flusher.mutex);
  for (;;) {
    while (flusher.fd < 0) ::pthread_cond_wait(&flusher.asked, &flusher.mutex);
    const int fd = flusher.fd;
    ::pthread_mutex_unlock(&flusher.mutex);
    action_.load()(fd);
    ::close(fd);
    ::pthread_mutex_lock(&flusher.mutex);
    flusher.fd = -1;
  }
}

void BackgroundFlush::note_written(int fd, uint64_t bytes) {
  gathered_ += bytes;
  if (gathered_ < FLUSH_STEP) return;
  Flusher* const flusher = BackgroundFlush::flusher();
  if (flusher == nullptr) return;
  if (::pthread_mutex_trylock(&flusher->mutex) != 0) return;  // busy: try at a later write
  if (flusher->fd < 0) {
    flusher->fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (flusher->fd >= 0) {
      gathered_ = 0;
      ::pthread_cond_signal(&flusher->asked);
    }
  }
  ::pthread_mutex_unlock(&flusher->mutex);
}
