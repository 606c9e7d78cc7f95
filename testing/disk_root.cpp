// The disk root: a throwaway root on an ext4 file system of its own, whose page cache a
// test can lose as a power cut would.
#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "testing/isolation.h"
#include "testing/root_fixture.h"

namespace {

// Binds `backing` to the loop device open at `loop`, detached on its last close.
bool attach_loop(int loop, int backing) {
  struct loop_info64 info;
  std::memset(&info, 0, sizeof info);
  info.lo_flags = LO_FLAGS_AUTOCLEAR;
  if (::ioctl(loop, LOOP_SET_FD, backing) != 0) return false;
  if (::ioctl(loop, LOOP_SET_STATUS64, &info) == 0) return true;
  const int error = errno;
  ::ioctl(loop, LOOP_CLR_FD, 0);
  errno = error;
  return false;
}

// From linux/ext4.h, which not every system's headers carry.
constexpr unsigned long EXT4_SHUTDOWN = _IOR('X', 125, uint32_t);
constexpr uint32_t EXT4_NOLOGFLUSH = 2;

}  // namespace

void RootFixture::use_disk_root() {
  if (::geteuid() != 0) GTEST_SKIP() << "a disk root needs root: loop devices and ext4 mounts";
  ASSERT_LT(loop_fd_, 0) << "the root is on a disk already";
  // Once, for the whole test process: the disk root vanishes with it, whatever becomes of it.
  static const std::string unshared = [] {
    std::string reason;
    enter_namespaces(reason);
    return reason;
  }();
  if (!unshared.empty()) GTEST_SKIP() << unshared;
  const std::string image = base_ + "/disk.img";
  const std::string log = base_ + "/mkfs.log";
  // mke2fs makes the image itself, sparse, when given its size.
  const int made = std::system(("mkfs.ext4 -q -F " + image + " 64M >" + log + " 2>&1").c_str());
  if (!WIFEXITED(made) || WEXITSTATUS(made) == 127) {
    GTEST_SKIP() << "mkfs.ext4 cannot be run here (Debian package e2fsprogs)";
  }
  ASSERT_EQ(WEXITSTATUS(made), 0) << "mkfs.ext4 failed: " << file_text(log);

  const int control = ::open("/dev/loop-control", O_RDWR | O_CLOEXEC);
  if (control < 0) {
    GTEST_SKIP() << "no loop devices here: /dev/loop-control: " << std::strerror(errno);
  }
  const int backing = ::open(image.c_str(), O_RDWR | O_CLOEXEC);
  std::string reason = "no free loop device";
  // Another process may take the device between the question and the binding.
  for (int attempt = 0; attempt < 16 && loop_fd_ < 0; ++attempt) {
    const int number = ::ioctl(control, LOOP_CTL_GET_FREE);
    if (number < 0) {
      reason = std::string("LOOP_CTL_GET_FREE: ") + std::strerror(errno);
      break;
    }
    const std::string path = "/dev/loop" + std::to_string(number);
    const int loop = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (loop >= 0 && attach_loop(loop, backing)) {
      loop_fd_ = loop;
      loop_path_ = path;
      break;
    }
    const int error = errno;
    reason = path + ": " + std::strerror(error);
    if (loop >= 0) ::close(loop);
    if (error != EBUSY) break;
  }
  ::close(backing);
  ::close(control);
  if (loop_fd_ < 0) GTEST_SKIP() << "no loop device could be attached: " << reason;
  if (::mount(loop_path_.c_str(), root_.c_str(), "ext4", 0, "noauto_da_alloc") != 0) {
    reason = std::strerror(errno);
    unmount_disk();
    GTEST_SKIP() << "ext4 mount refused: " << reason;
  }
  // Flags it does not know make the shutdown fail without acting; an emulator that does not
  // pass the request on fails it otherwise.
  const int top = ::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  uint32_t unknown = ~0u;
  const bool known = ::ioctl(top, EXT4_SHUTDOWN, &unknown) != 0 && errno == EINVAL;
  reason = std::strerror(errno);
  ::close(top);
  if (!known) {
    unmount_disk();
    GTEST_SKIP() << "EXT4_IOC_SHUTDOWN is not available here: " << reason;
  }
  reset_root();  // also drops lost+found, which the plain root has none of
}

void RootFixture::lose_page_cache() {
  ASSERT_GE(loop_fd_, 0) << "the root is not on a disk (use_disk_root)";
  const int fd = ::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  uint32_t flags = EXT4_NOLOGFLUSH;
  const bool down = fd >= 0 && ::ioctl(fd, EXT4_SHUTDOWN, &flags) == 0;
  const int error = errno;
  if (fd >= 0) ::close(fd);
  ASSERT_TRUE(down) << "EXT4_IOC_SHUTDOWN: " << std::strerror(error);
  // A mount that still lives elsewhere (a child's namespace on its way out) would bring the
  // shut-down file system back as it is: mounted again until it works.
  const std::string probe = root_ + "/.mount-probe";
  for (int attempt = 0;; ++attempt) {
    ASSERT_EQ(::umount(root_.c_str()), 0) << "umount: " << std::strerror(errno);
    ASSERT_EQ(::mount(loop_path_.c_str(), root_.c_str(), "ext4", 0, "noauto_da_alloc"), 0)
        << "mount: " << std::strerror(errno);
    if (::mkdir(probe.c_str(), 0700) == 0 && ::rmdir(probe.c_str()) == 0) return;
    ASSERT_LT(attempt, 100) << "the file system stays shut down: " << std::strerror(errno);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void RootFixture::unmount_disk() {
  if (loop_fd_ < 0) return;
  if (::umount(root_.c_str()) != 0) ::umount2(root_.c_str(), MNT_DETACH);
  ::ioctl(loop_fd_, LOOP_CLR_FD, 0);
  ::close(loop_fd_);
  loop_fd_ = -1;
}
