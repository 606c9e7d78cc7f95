// vmpkg, the package tool: makes key sets, builds and bundles signed packages, shows what a
// package file holds, and audits the installed files of a router root. vmpkg_main.cpp is a thin
// main over run_vmpkg.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "tools/command_line.h"

// Exit statuses of the tool.
enum : int {
  VMPKG_OK = 0,
  // The work could not be done (unreadable input, signing, writing), or the audit found a
  // difference: a script asks only whether the answer was 0.
  VMPKG_NOT_OK = 1,
  VMPKG_BAD_USAGE = 2,  // the command line is wrong
};

struct VmpkgContext {
  std::ostream& out;
  std::ostream& err;
  std::string default_keys;  // key directory used when --keys is not given
  std::string command;       // "build", ... for messages

  // Prints "vmpkg COMMAND: message" to err and answers `status`.
  int fail(int status, const std::string& message) const;
};

// Runs one command line (without the program name); answers the exit status.
int run_vmpkg(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
              const std::string& default_keys);

// The subcommands, given their arguments after the command name.
int vmpkg_keygen(const std::vector<std::string>& args, const VmpkgContext& context);
int vmpkg_build(const std::vector<std::string>& args, const VmpkgContext& context);
int vmpkg_bundle(const std::vector<std::string>& args, const VmpkgContext& context);
int vmpkg_inspect(const std::vector<std::string>& args, const VmpkgContext& context);
int vmpkg_verify(const std::vector<std::string>& args, const VmpkgContext& context);
int vmpkg_audit(const std::vector<std::string>& args, const VmpkgContext& context);
int vmpkg_list(const std::vector<std::string>& args, const VmpkgContext& context);
int vmpkg_files(const std::vector<std::string>& args, const VmpkgContext& context);
int vmpkg_owner(const std::vector<std::string>& args, const VmpkgContext& context);
int vmpkg_version(const std::vector<std::string>& args, const VmpkgContext& context);
