// Test helper: whole installer runs in a throwaway root, through the entry function or
// the built program.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "database/database_reader.h"
#include "installer/entry.h"
#include "package/relations.h"
#include "package/repository.h"
#include "testing/root_fixture.h"
#include "testing/test_packages.h"

const Version V1 = make_version(1, 0, KIND_FINAL, 0);
const Version V2 = make_version(2, 0, KIND_FINAL, 0);
const Version V3 = make_version(3, 0, KIND_FINAL, 0);
const std::string DOWNLOAD = "/rw/pckg/.download/";  // the first folder an upgrade reads

// `words` as a program's argument vector, ended by a null.
inline std::vector<char*> argv_of(std::vector<std::string>& words) {
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  return argv;
}

// The installer's entry function with `args`, in the calling process.
inline int enter_installer(std::vector<std::string> args) {
  args.insert(args.begin(), "installer");
  return ::run_installer(static_cast<int>(args.size()), argv_of(args).data());
}

// Staged files left behind: anything in a ".staging" directory, or named like a staged file.
inline std::vector<std::string> staged_files(const std::map<std::string, std::string>& entries) {
  static const std::regex staged("(/\\.staging/.+|/tmp[A-Za-z0-9]{6})$");
  std::vector<std::string> found;
  for (const auto& entry : entries) {
    if (std::regex_search(entry.first, staged)) found.push_back(entry.first);
  }
  return found;
}

class WholeRun : public RootFixture {
 protected:
  // The installer's entry function with `args`, inside the root.
  RunResult run_installer(const std::vector<std::string>& args, const ChildOptions& options = {}) {
    return run_in_root([&args] { return enter_installer(args); }, options);
  }

  // Standard input carries `bytes`; "-" is added to `args`.
  RunResult stream(const std::string& bytes, std::vector<std::string> args = {},
                   ChildOptions options = {}) {
    options.stdin_data = bytes;
    args.push_back("-");
    return run_installer(args, options);
  }

  // The database and download folders an installed router has.
  void make_router_dirs() {
    make_dirs("/flash/var/pdb");
    make_dirs(DOWNLOAD);
  }

  void remove(const std::string& path) { std::filesystem::remove_all(host_path(path)); }
  std::string postlog() const { return read_file("/flash/postlog"); }

  // The root copied to `saved`, and back.
  void save_root(const std::string& saved) {
    std::filesystem::remove_all(saved);
    std::filesystem::copy(root(), saved, copy_whole);
  }
  void restore_root(const std::string& saved) {
    for (const auto& entry : std::filesystem::directory_iterator(root())) {
      std::filesystem::remove_all(entry.path());
    }
    for (const auto& entry : std::filesystem::directory_iterator(saved)) {
      std::filesystem::copy(entry.path(), std::filesystem::path(root()) / entry.path().filename(),
                            copy_whole);
    }
  }

  // One line per installed record as the next run loads it, in name order:
  // "name-version[ disabled][ forced][ from bundle]".
  std::string loaded_records() {
    const RunResult run = run_in_root([] {
      Repository repository;
      (void)open_repository(repository, "i386");
      std::set<std::string> lines;
      for (const auto& package : repository.packages()) {
        std::string line = display_name(*package);
        if (package->disabled) line += " disabled";
        if (package->user_forced) line += " forced";
        if (!package->bundle.name.empty()) line += " from " + package->bundle.name;
        lines.insert(line);
      }
      for (const std::string& line : lines) std::cout << line << "\n";
      return 0;
    });
    return run.out;
  }

  // The built installer program, outside the root; pass "-r", root() yourself.
  RunResult run_binary(const std::vector<std::string>& args) {
    return run_outside_root([&args]() -> int {
      // LeakSanitizer needs /proc, which the program's own root change leaves behind.
      ::setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
#ifdef INSTALLER_EMULATOR
      // A cross build's program runs through the emulator that runs the tests.
      std::vector<std::string> words = {INSTALLER_EMULATOR, INSTALLER_BINARY};
#else
      std::vector<std::string> words = {INSTALLER_BINARY};
#endif
      words.insert(words.end(), args.begin(), args.end());
      ::execvp(words[0].c_str(), argv_of(words).data());
      std::perror(("exec " + words[0]).c_str());
      return 125;
    });
  }

 private:
  static constexpr auto copy_whole =
      std::filesystem::copy_options::recursive | std::filesystem::copy_options::copy_symlinks;
};

// Whole runs that install signed packages, in a root with a router's folders.
class SignedRun : public WholeRun {
 protected:
  void SetUp() override {
    WholeRun::SetUp();
    if (IsSkipped()) return;
    SKIP_WITHOUT_SIGNING_KEYS();
    make_router_dirs();
  }

  // An empty router root again, then `files` installed by a quiet upgrade run, without the
  // markers and post log it leaves.
  void install_first(const std::vector<std::string>& files) {
    reset_root();
    make_router_dirs();
    if (files.empty()) return;
    for (size_t i = 0; i < files.size(); ++i) {
      write_file("/flash/var/pckg/" + std::to_string(i) + ".vmp", files[i]);
    }
    ASSERT_EQ(run_installer({"-q"}).status, 0);
    for (const char* path : {"/flash/var/pckg", "/flash/PCKGS_CHANGED", "/flash/postlog"}) {
      remove(path);
    }
  }
};
