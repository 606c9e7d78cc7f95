// Whole runs with only schedule files: the scheduled actions are carried out and committed.

#include <gtest/gtest.h>
#include <unistd.h>

#include "testing/whole_run.h"

namespace {

class ScheduledRun : public WholeRun {
 protected:
  // A text-form database entry at version 1.0 with its files.
  void entry(const std::string& name, const std::vector<std::string>& files = {},
             const std::string& disabled = "") {
    const std::string dir = "/flash/var/pdb/" + name + "/";
    write_file(dir + "version", "16803328 1\n");
    std::string list;
    for (const std::string& file : files) {
      write_file("/flash" + file, name);
      list += file.substr(1) + "\n";
    }
    write_file(dir + "files", list);
    if (!disabled.empty()) write_file(dir + "disabled", disabled + "\n");
  }
  void schedule(const std::string& key, const std::string& word) {
    write_file("/ram/pdb/" + key + "/schedule", word + "\n");
  }
};

TEST_F(ScheduledRun, SchedulesAloneDisableEnableAndUninstallForReal) {
  entry("base", {"/bin/base"});
  entry("gone", {"/etc/gone", "/etc/shared.d/gone"});
  entry("off", {"/x/off/etc/off"}, "auto");
  entry("quiet", {"/etc/quiet"});
  schedule("gone", "uninstall");
  schedule("off", "enable");
  schedule("quiet", "disable");
  const RunResult run = run_installer({"-r", "/"});
  EXPECT_EQ(run.status, 0);
  const std::string hide = "\x1b[?25l\r", show = "\r\x1b[?25h";
  EXPECT_EQ(run.out, hide + "disabling quiet-1.0..." + show + hide + std::string(22, ' ') + show +
                         "disabled quiet-1.0\n" + hide + "enabling off-1.0..." + show + hide +
                         std::string(19, ' ') + show + "enabled off-1.0\n");
  // Uninstalls print no lines at this level; the console's lines reach the post log.
  EXPECT_EQ(read_file("/flash/postlog"), "disabled quiet-1.0\nenabled off-1.0\n");
  EXPECT_EQ(tree("/flash"),
            "/flash/PCKGS_CHANGED=\n/flash/bin/\n/flash/bin/base=base\n/flash/etc/\n"
            "/flash/etc/quiet=quiet\n/flash/etc/shared.d/\n/flash/postlog=disabled quiet-1.0\n"
            "enabled off-1.0\n\n/flash/var/\n/flash/var/pdb/\n/flash/var/pdb/base/\n"
            "/flash/var/pdb/base/files=bin/base\n\n/flash/var/pdb/base/version=16803328 1\n\n"
            "/flash/var/pdb/off/\n/flash/var/pdb/off/enabled=user\n\n"
            "/flash/var/pdb/off/files=x/off/etc/off\n\n/flash/var/pdb/off/version=16803328 1\n\n"
            "/flash/var/pdb/quiet/\n/flash/var/pdb/quiet/disabled=user\n\n"
            "/flash/var/pdb/quiet/files=etc/quiet\n\n/flash/var/pdb/quiet/version=16803328 1\n\n"
            "/flash/x/\n/flash/x/off/\n/flash/x/off/etc/\n/flash/x/off/etc/off=off\n");
  // The schedule files belong to other programs: they stay.
  EXPECT_TRUE(exists("/ram/pdb/gone/schedule"));
}

}  // namespace
