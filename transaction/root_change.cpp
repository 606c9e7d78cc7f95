#include "transaction/root_change.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

bool write_text(const char* path, const std::string& text) {
  const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  return ok;
}

}  // namespace

bool change_root(const std::string& root) { return ::chroot(root.c_str()) == 0; }

bool enter_root_to_read(const std::string& root, std::string& reason) {
  const uid_t uid = ::geteuid();
  const gid_t gid = ::getegid();
  if (uid != 0) {
    if (::unshare(CLONE_NEWUSER) != 0) {
      reason = std::string("a user namespace is refused: ") + std::strerror(errno);
      return false;
    }
    if (!write_text("/proc/self/setgroups", "deny") ||
        !write_text("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
        !write_text("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
      reason = "the user cannot be mapped in a user namespace";
      return false;
    }
  }
  if (!change_root(root) || ::chdir("/") != 0) {
    reason = root + ": " + std::strerror(errno);
    return false;
  }
  return true;
}
