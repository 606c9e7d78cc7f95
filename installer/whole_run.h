// Test helper: whole installer runs in a throwaway root, through the entry function or
// the built program.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "installer/entry.h"
#include "testing/root_fixture.h"

class WholeRun : public RootFixture {
 protected:
  // The installer's entry function with `args`, inside the root.
  RunResult run_installer(const std::vector<std::string>& args, const ChildOptions& options = {}) {
    return run_in_root(
        [&args] {
          std::vector<std::string> words = {"installer"};
          words.insert(words.end(), args.begin(), args.end());
          std::vector<char*> argv;
          for (std::string& word : words) argv.push_back(word.data());
          argv.push_back(nullptr);
          return ::run_installer(static_cast<int>(words.size()), argv.data());
        },
        options);
  }

  // The built installer program, outside the root; pass "-r", root() yourself.
  RunResult run_binary(const std::vector<std::string>& args, const ChildOptions& options = {}) {
    return run_outside_root(
        [&args]() -> int {
          // LeakSanitizer needs /proc, which the program's own root change leaves behind.
          ::setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
          std::vector<std::string> words = {INSTALLER_BINARY};
          words.insert(words.end(), args.begin(), args.end());
          std::vector<char*> argv;
          for (std::string& word : words) argv.push_back(word.data());
          argv.push_back(nullptr);
          ::execv(INSTALLER_BINARY, argv.data());
          std::perror("execv " INSTALLER_BINARY);
          return 125;
        },
        options);
  }
};
