// Test helpers for code running inside a throwaway root: small reads and writes that a
// child process prints its observations with, for the parent test to compare.
#pragma once

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

inline std::string file_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline bool put_file(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
  out.close();
  return !out.fail();
}

// Does not follow a final symbolic link.
inline bool is_present(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0;
}

// Names in `dir` other than "." and "..", sorted, joined by ","; "-" when it cannot be read.
inline std::string dir_entries(const std::string& dir) {
  DIR* handle = ::opendir(dir.c_str());
  if (!handle) return "-";
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(handle)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(handle);
  std::sort(names.begin(), names.end());
  std::string joined;
  for (const std::string& name : names) joined += (joined.empty() ? "" : ",") + name;
  return joined;
}
