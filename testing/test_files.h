// Test helpers for code running inside a throwaway root: small reads and writes that a
// child process prints its observations with, for the parent test to compare.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "transaction/manifest.h"

inline std::string file_text(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

inline bool put_file(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary);
  return static_cast<bool>(out << contents << std::flush);
}

// Does not follow a final symbolic link.
inline bool is_present(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0;
}

// Names in `dir` other than "." and "..", sorted, joined by ","; "-" when it cannot be read.
inline std::string dir_entries(const std::string& dir) {
  std::error_code error;
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
    names.insert(entry.path().filename());
  }
  if (error) return "-";
  std::string joined;
  for (const std::string& name : names) joined += (joined.empty() ? "" : ",") + name;
  return joined;
}

// The temporary file or move source pending for `path`; "" when none.
inline std::string staged_source(const Manifest& manifest, const std::string& path) {
  const std::optional<ManifestOp> found = manifest.find(path);
  return found ? found->source : "";
}
