#include "transaction/background_flush.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>

#include "testing/root_fixture.h"
#include "transaction/boot_space.h"
#include "transaction/commit.h"
#include "transaction/manifest.h"

namespace {

constexpr uint64_t STEP_MIB = BackgroundFlush::FLUSH_STEP >> 20;

int staged_files() {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/.staging")) {
    count += entry.path().filename().string().compare(0, 3, "tmp") == 0;
  }
  return count;
}

// A disk whose flushes end when the test says, or when somebody waits for them.
class FakeFlush : public FlushBackend {
 public:
  bool start(int fd) override {
    struct stat info;
    started += ::fstat(fd, &info) == 0 && info.st_ino == watched_inode ? "F" : "?";
    ended = false;
    return true;
  }
  bool finish(bool wait, int& result) override {
    if (wait) {
      // What a waiter sees: staged files are deleted only after the flush has ended.
      started += "w" + std::to_string(staged_files());
      ended = true;
    }
    result = outcome;
    return ended;
  }

  ino_t watched_inode = 0;
  std::string started;  // "F" per flush of the watched file, "?" of another
  bool ended = false;
  int outcome = 0;
};

void write_mib(std::ostream& out, uint64_t mib) {
  const std::string piece(1 << 20, 'b');
  for (uint64_t i = 0; i < mib; ++i) out.write(piece.data(), std::streamsize(piece.size()));
}

ino_t inode_of(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

std::string closed(FileStream& out) {
  out.close();
  return out.fail() ? std::strerror(errno) : "ok";
}

class BackgroundFlushTest : public RootFixture {};

TEST_F(BackgroundFlushTest, FlushesBehindTheWriterAndAFailureFailsTheStaging) {
  const RunResult run = run_in_root([] {
    auto owned = std::make_unique<FakeFlush>();
    FakeFlush& disk = *owned;
    BackgroundFlush::replace_backend(std::move(owned));
    // A file not bound for the flash counts for nothing.
    FileSink plain;
    if (!plain.open("/tmp/plain")) return 1;
    std::ostream plain_out(&plain);
    write_mib(plain_out, 2 * STEP_MIB);
    std::cout << "plain '" << disk.started << "' closed=" << plain.close() << "\n";

    Manifest manifest;
    FileStream big = manifest.create_file("/flash/big", 1, 0);
    disk.watched_inode = inode_of(manifest.find("/flash/big")->source);
    // While a flush runs, no other starts and no write waits for it.
    write_mib(big, 3 * STEP_MIB);
    std::cout << "running '" << disk.started << "'\n";
    disk.ended = true;
    disk.outcome = -EINVAL;  // no loss of data: the commit's flush will do
    write_mib(big, STEP_MIB);
    disk.ended = true;
    disk.outcome = -EIO;
    write_mib(big, STEP_MIB);
    std::cout << "after it '" << disk.started << "' big " << closed(big);
    FileStream later = manifest.create_file("/flash/later", 1, 0);
    std::cout << ", later " << closed(later) << "\n";
    disk.started.clear();
    (void)fits_boot_space(manifest);
    FileStream more = manifest.create_file("/flash/more", 1, 0);
    disk.watched_inode = inode_of(manifest.find("/flash/more")->source);
    write_mib(more, STEP_MIB);
    std::cout << "space '" << disk.started << "' more " << closed(more) << "\n";
    disk.started.clear();
    cancel(manifest);
    FileStream next = manifest.create_file("/flash/next", 1, 0);
    std::cout << "cancel '" << disk.started << "' staged=" << staged_files() << " next "
              << closed(next) << "\n";
    // The kernel's own flush, where it has one, ends well on a sound disk.
    BackgroundFlush::replace_backend(nullptr);
    FileStream real = manifest.create_file("/flash/real", 1, 0);
    write_mib(real, 2 * STEP_MIB);
    std::cout << "kernel settle=" << BackgroundFlush::settle() << " " << closed(real) << "\n";
    return 0;
  });
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "plain '' closed=1\n"
            "running 'F'\n"
            "after it 'FFF' big Input/output error, later Input/output error\n"
            "space 'w2F' more Input/output error\n"
            "cancel 'w3' staged=1 next ok\n"
            "kernel settle=0 ok\n");
}

// The kernel's own: a flush of a pipe fails (a flush that did nothing would not), a wait
// waits, the rings wrap, and a forked child flushes on a ring of its own.
TEST_F(BackgroundFlushTest, TheKernelsFlushWaitsWrapsAndKeepsToItsProcess) {
  const RunResult run = run_in_root([] {
    ::alarm(20);  // a completion lost would hang a wait
    std::unique_ptr<FlushBackend> ring = BackgroundFlush::kernel_backend();
    const int file = ::open("/flash/f", O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    int pipe_ends[2];
    if (file < 0 || ::pipe(pipe_ends) != 0) return 1;
    std::string seen;
    for (int round = 0; round < 10; ++round) {  // more than either ring holds
      int result = 1;
      if (!ring->start(round % 2 ? pipe_ends[0] : file)) {
        std::cout << "no io_uring\n";
        return 0;
      }
      if (!ring->finish(true, result)) return 1;
      seen += result == 0 ? "0" : result == -EINVAL ? "E" : std::to_string(result);
    }
    std::cout << seen << "\n";
    // The parent's flush runs (or has ended, unread) when the child is forked.
    BackgroundFlush::replace_backend(nullptr);
    Manifest manifest;
    FileStream parent = manifest.create_file("/flash/parent", 1, 0);
    write_mib(parent, STEP_MIB + 1);
    const pid_t child = ::fork();
    if (child == 0) {
      FileStream own = manifest.create_file("/flash/child", 1, 0);
      write_mib(own, STEP_MIB + 1);
      ::_exit(closed(own) == "ok" && BackgroundFlush::settle() == 0 ? 0 : 1);
    }
    int status = -1;
    ::waitpid(child, &status, 0);
    std::cout << "child status=" << status << " parent " << closed(parent)
              << " settle=" << BackgroundFlush::settle() << "\n";
    cancel(manifest);
    return 0;
  });
  if (run.out == "no io_uring\n") GTEST_SKIP() << "the kernel offers no io_uring here";
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "0E0E0E0E0E\nchild status=0 parent ok settle=0\n");
}

}  // namespace
