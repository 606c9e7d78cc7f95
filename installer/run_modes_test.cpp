#include "installer/run_modes.h"

#include <unistd.h>

#include <iostream>

#include "package/console.h"
#include "planning/admission.h"
#include "testing/root_fixture.h"
#include "transaction/manifest.h"

namespace {

class UpgradeTail : public RootFixture {};

// Stages "x" for `path` unless it is empty, then ends an upgrade; prints the temporary
// files of the marker and of `path`.
int finish_staged(const std::string& path, bool commit_now) {
  Console console(std::cout);
  Manifest manifest;
  if (!path.empty()) manifest.create_file(path, 0, 0) << "x";
  const int status = finish_upgrade(console, manifest, ADMIT_UPGRADE, commit_now);
  std::cout << staged_source(manifest, "/flash/PCKGS_CHANGED") << " "
            << staged_source(manifest, path);
  return status;
}

TEST_F(UpgradeTail, CommitsOrSavesWhatIsStagedWithTheChangedMarker) {
  const RunResult committed = run_in_root([] { return finish_staged("/flash/a", true); });
  EXPECT_EQ(committed.status, 0);
  EXPECT_EQ(tree("/flash"), "/flash/PCKGS_CHANGED=\n/flash/a=x\n");
  EXPECT_FALSE(exists("/ram/MANIFEST"));

  ::unlink(host_path("/flash/PCKGS_CHANGED").c_str());
  const RunResult saved = run_in_root([] { return finish_staged("/flash/b", false); });
  EXPECT_EQ(saved.status, 0);
  const std::string marker_temp = saved.out.substr(0, saved.out.find(' '));
  const std::string b_temp = saved.out.substr(saved.out.find(' ') + 1);
  EXPECT_EQ(read_file("/ram/MANIFEST"),
            "M /flash/PCKGS_CHANGED " + marker_temp + "\nM /flash/b " + b_temp + "\n");
  EXPECT_EQ(tree("/flash"), "/flash/a=x\n");

  for (const std::string& temp : {marker_temp, b_temp}) ::unlink(host_path(temp).c_str());
  ::unlink(host_path("/ram/MANIFEST").c_str());
  const RunResult unsaveable = run_in_root([] { return finish_staged("/flash/two words", false); });
  EXPECT_EQ(unsaveable.status, 1);
  // Cancelled: nothing is pending, and its staged files are deleted.
  EXPECT_EQ(unsaveable.out, "ERROR: can not save transaction: Invalid argument\n ");
  EXPECT_EQ(dir_entries(host_path("/ram")), "");
  EXPECT_EQ(dir_entries(host_path("/flash")), "a");

  write_file("/ram/MANIFEST", "U /flash/from-an-earlier-run\n");
  const RunResult idle = run_in_root([] { return finish_staged("", false); });
  EXPECT_EQ(idle.status, 0);
  EXPECT_EQ(idle.out, " ");
  EXPECT_EQ(read_file("/ram/MANIFEST"), "U /flash/from-an-earlier-run\n");
  EXPECT_FALSE(exists("/flash/PCKGS_CHANGED"));
}

TEST_F(UpgradeTail, ASaveOnAFullRamIsCancelled) {
  require_mounts();
  ChildOptions full_ram;
  full_ram.mounts = {{"/ram", "8k"}};
  const RunResult save = run_in_root(
      [] {
        if (!put_file("/ram/filler", std::string(8192, 'f'))) return 99;
        Console console(std::cout);
        Manifest manifest;
        manifest.create_file("/flash/a", 10, 0) << "new";
        const int status = finish_upgrade(console, manifest, ADMIT_UPGRADE, false);
        (void)commit_mode(console);  // nothing was saved to commit
        std::cout << "status=" << status << " ram=" << dir_entries("/ram")
                  << " flash=" << dir_entries("/flash") << "\n";
        return 0;
      },
      full_ram);
  EXPECT_EQ(save.out,
            "ERROR: can not save transaction: No space left on device\n"
            "finishing install... \b \n"
            "status=1 ram=.staging,filler flash=\n");
}

}  // namespace
