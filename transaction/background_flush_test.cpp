#include "transaction/background_flush.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <iostream>
#include <string>

#include "testing/root_fixture.h"
#include "transaction/manifest.h"

namespace {

// What the flusher thread saw, for a child to print.
std::atomic<int> flushes{0};
std::atomic<bool> held{true};  // the first flush waits for this to clear
std::atomic<bool> on_other_thread{true};
std::atomic<ino_t> flushed_file{0};
pthread_t main_thread;

void record_flush(int fd) {
  if (pthread_equal(pthread_self(), main_thread)) on_other_thread = false;
  struct stat info;
  if (::fstat(fd, &info) == 0) flushed_file = info.st_ino;
  ++flushes;
  for (int tries = 0; held && tries < 5000; ++tries)
    ::usleep(1000);  // a writer that waited shows as more flushes
}

bool wait_for_flushes(int count) {
  for (int tries = 0; tries < 5000 && flushes < count; ++tries) ::usleep(1000);
  return flushes >= count;
}

void write_mib(std::streambuf& sink, uint64_t mib) {
  const std::string piece(1 << 20, 'b');
  for (uint64_t i = 0; i < mib; ++i) sink.sputn(piece.data(), std::streamsize(piece.size()));
}

class BackgroundFlushTest : public RootFixture {};

TEST_F(BackgroundFlushTest, StagedDataIsFlushedBehindTheWriterWhichNeverWaits) {
  const RunResult run = run_in_root([] {
    main_thread = pthread_self();
    BackgroundFlush::replace_action(&record_flush);
    constexpr uint64_t STEP_MIB = BackgroundFlush::FLUSH_STEP >> 20;
    // A file not bound for the flash counts for nothing.
    FileSink plain;
    if (!plain.open("/tmp/plain")) return 1;
    write_mib(plain, 2 * STEP_MIB);
    std::cout << "plain " << flushes << (plain.close() ? "" : " failed") << "\n";

    Manifest manifest;
    FileStream staged = manifest.create_file("/flash/big", 0, 0);
    // Three steps while the first flush hangs: one flush only, and no write waits for it.
    write_mib(*staged.rdbuf(), 3 * STEP_MIB);
    std::cout << "held " << wait_for_flushes(1) << " " << flushes << "\n";
    held = false;
    write_mib(*staged.rdbuf(), STEP_MIB);
    std::cout << "released " << wait_for_flushes(2) << "\n";
    struct stat info;
    ::stat(manifest.operations().at("/flash/big").source.c_str(), &info);
    std::cout << "other thread " << on_other_thread << ", same file "
              << (flushed_file == info.st_ino) << "\n";
    staged.close();
    return staged.fail() ? 1 : 0;
  });
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "plain 0\n"
            "held 1 1\n"
            "released 1\n"
            "other thread 1, same file 1\n");
}

}  // namespace
