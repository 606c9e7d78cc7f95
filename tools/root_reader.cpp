#include "tools/root_reader.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace {

// As the kernel's own limit on links followed in one lookup.
constexpr int MAX_LINKS = 40;

// Pushes the components of `path` onto `pending` so that the first one is taken first.
void push_components(const std::string& path, std::vector<std::string>& pending) {
  std::vector<std::string> parts;
  for (size_t start = 0; start <= path.size();) {
    const size_t end = std::min(path.find('/', start), path.size());
    if (end > start && path.compare(start, end - start, ".") != 0) {
      parts.push_back(path.substr(start, end - start));
    }
    start = end + 1;
  }
  pending.insert(pending.end(), parts.rbegin(), parts.rend());
}

bool read_link(const std::string& path, std::string& target) {
  char buffer[PATH_MAX];
  const ssize_t length = ::readlink(path.c_str(), buffer, sizeof buffer);
  if (length < 0) return false;
  if (size_t(length) == sizeof buffer) {
    errno = ENAMETOOLONG;
    return false;
  }
  target.assign(buffer, size_t(length));
  return true;
}

// Replaces the link at `host` (its path below the root is `resolved` + the component just
// taken) by the components of its target: an absolute one starts again at the root.
bool follow_link(const std::string& host, int& links, std::string& resolved,
                 std::vector<std::string>& pending) {
  std::string target;
  if (++links > MAX_LINKS) {
    errno = ELOOP;
    return false;
  }
  if (!read_link(host, target)) return false;
  if (target.empty()) {
    errno = ENOENT;
    return false;
  }
  if (target[0] == '/') resolved.clear();
  push_components(target, pending);
  return true;
}

}  // namespace

bool resolve_in_root(const std::string& root, const std::string& path, bool follow_last,
                     std::string& host_path) {
  std::string base = root;
  while (!base.empty() && base.back() == '/') base.pop_back();
  std::vector<std::string> pending;
  push_components(path, pending);
  std::string resolved;  // below the root, free of links: "" or "/a/b"
  int links = 0;
  while (!pending.empty()) {
    const std::string part = std::move(pending.back());
    pending.pop_back();
    if (part == "..") {
      resolved.erase(resolved.empty() ? 0 : resolved.rfind('/'));
      continue;
    }
    const std::string candidate = resolved + "/" + part;
    struct stat status;
    if (::lstat((base + candidate).c_str(), &status) != 0) return false;
    const bool last = pending.empty();
    if (S_ISLNK(status.st_mode) && (!last || follow_last)) {
      if (!follow_link(base + candidate, links, resolved, pending)) return false;
      continue;
    }
    if (!last && !S_ISDIR(status.st_mode)) {
      errno = ENOTDIR;
      return false;
    }
    resolved = candidate;
  }
  host_path = base + (resolved.empty() ? "/" : resolved);
  return true;
}
