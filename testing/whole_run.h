// Test helper: whole installer runs in a throwaway root, through the entry function or
// the built program.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "database/database_reader.h"
#include "installer/entry.h"
#include "package/relations.h"
#include "package/repository.h"
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

  // One line per installed record as the next run loads it, in name order:
  // "name-version[ disabled][ forced][ from bundle]".
  std::string loaded_records() {
    const RunResult run = run_in_root([] {
      Repository repository;
      (void)open_repository(repository, "i386");
      std::vector<std::string> lines;
      for (const auto& package : repository.packages()) {
        std::string line = display_name(*package);
        if (package->disabled) line += " disabled";
        if (package->user_forced) line += " forced";
        if (!package->bundle.name.empty()) line += " from " + package->bundle.name;
        lines.push_back(line);
      }
      std::sort(lines.begin(), lines.end());
      for (const std::string& line : lines) std::cout << line << "\n";
      return 0;
    });
    return run.out;
  }

  // The built installer program, outside the root; pass "-r", root() yourself.
  RunResult run_binary(const std::vector<std::string>& args, const ChildOptions& options = {}) {
    return run_outside_root(
        [&args]() -> int {
          // LeakSanitizer needs /proc, which the program's own root change leaves behind.
          ::setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
#ifdef INSTALLER_EMULATOR
          // A cross build's program runs through the emulator that runs the tests.
          std::vector<std::string> words = {INSTALLER_EMULATOR, INSTALLER_BINARY};
#else
          std::vector<std::string> words = {INSTALLER_BINARY};
#endif
          words.insert(words.end(), args.begin(), args.end());
          std::vector<char*> argv;
          for (std::string& word : words) argv.push_back(word.data());
          argv.push_back(nullptr);
          ::execvp(argv[0], argv.data());
          std::perror(("exec " + words[0]).c_str());
          return 125;
        },
        options);
  }
};
