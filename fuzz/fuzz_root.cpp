#include "fuzz/fuzz_root.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "testing/isolation.h"

void enter_fuzz_root() {
  const char* root = std::getenv("FUZZ_ROOT");
  std::string reason;
  if (root == nullptr) {
    std::fprintf(stderr, "FUZZ_ROOT must name a throwaway root (tools/fuzz.sh makes one)\n");
    std::abort();
  }
  if (!enter_namespaces(reason)) {
    std::fprintf(stderr, "cannot isolate the fuzzer: %s\n", reason.c_str());
    std::abort();
  }
  // RAM file systems where the code writes, for speed; the machine's /proc, which the leak
  // checker reads when the fuzzer ends.
  const std::string top = root;
  for (const char* dir : {"/flash", "/ram", "/rw", "/tmp"}) {
    (void)::mount("tmpfs", (top + dir).c_str(), "tmpfs", 0, "size=256m");
  }
  ::mkdir((top + "/proc").c_str(), 0755);
  (void)::mount("/proc", (top + "/proc").c_str(), nullptr, MS_BIND | MS_REC, nullptr);
  if (::chroot(root) != 0 || ::chdir("/") != 0) {
    std::fprintf(stderr, "cannot enter %s\n", root);
    std::abort();
  }
}

void put_file(const std::string& path, const uint8_t* data, size_t size) {
  std::error_code error;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), error);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), std::streamsize(size));
}

std::string listing(const std::string& dir) {
  std::error_code error;
  std::map<std::string, uintmax_t> entries;
  for (auto it = std::filesystem::recursive_directory_iterator(dir, error);
       !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    std::error_code size_error;
    // The staging directories stay once made; a file left in them shows.
    if (it->path().filename() == ".staging" && it->is_directory(size_error)) continue;
    const uintmax_t size = it->is_regular_file(size_error) ? it->file_size(size_error) : 0;
    entries[it->path().string()] = size;
  }
  std::string text;
  for (const auto& [path, size] : entries) text += path + " " + std::to_string(size) + "\n";
  return text;
}

void require(bool held, const char* what) {
  if (held) return;
  std::fprintf(stderr, "property broken: %s\n", what);
  std::abort();
}
