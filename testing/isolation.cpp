#include "testing/isolation.h"

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

bool enter_namespaces(std::string& reason) {
  const auto put_file = [](const char* path, const std::string& text) {
    return static_cast<bool>(std::ofstream(path) << text << std::flush);
  };
  const uid_t uid = ::geteuid();
  const gid_t gid = ::getegid();
  if (uid == 0) {
    if (::unshare(CLONE_NEWNS) != 0) {
      reason = std::string("unshare(CLONE_NEWNS): ") + std::strerror(errno);
      return false;
    }
  } else {
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
      reason = std::string("unshare(CLONE_NEWUSER|CLONE_NEWNS): ") + std::strerror(errno);
      return false;
    }
    if (!put_file("/proc/self/setgroups", "deny") ||
        !put_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
        !put_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
      reason = "could not map the user to root in a user namespace";
      return false;
    }
  }
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    reason = std::string("making mounts private: ") + std::strerror(errno);
    return false;
  }
  return true;
}
