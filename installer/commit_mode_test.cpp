// The end of an upgrade, which commits or saves what it staged, and whole "--commit" and
// "--cancel" runs on a transaction saved by an earlier run.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iostream>
#include <regex>

#include "installer/run_modes.h"
#include "package/console.h"
#include "planning/admission.h"
#include "testing/whole_run.h"
#include "transaction/manifest.h"

namespace {

using UpgradeTail = RootFixture;

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

using CommitMode = WholeRun;

TEST_F(CommitMode, CancelModeDropsAndCommitModeCarriesOutAStoredTransaction) {
  write_file("/flash/old/a", "a");
  write_file("/flash/gone", "gone");
  write_file("/flash/etc/conf", "plain file");
  write_file("/flash/old/tmpAbc123", "staged by an earlier run");  // spared by the removal
  write_file("/flash/var/pdb/image", "image");
  // A staging directory that is a link elsewhere holds nobody's staged files.
  write_file("/flash/keep/tmpAAAAAA", "somebody's");
  ASSERT_EQ(::symlink("/flash/keep", host_path("/.staging").c_str()), 0);
  const std::string stored =
      "U /flash/gone\n"
      "L /flash/etc/conf /flash/real/conf\n"
      "U /flash/old\n"
      "M /flash/old/b /flash/old/tmpAbc123\n"
      "M /flash/var/pdb/p/image /flash/var/pdb/image\n";
  write_file("/ram/MANIFEST", stored + "M /flash/x /.staging/tmpAAAAAA\n");
  const RunResult cancelled = run_installer({"--cancel"});
  EXPECT_EQ(cancelled.status, 0);
  EXPECT_EQ(cancelled.out + cancelled.err, "");
  EXPECT_FALSE(exists("/ram/MANIFEST"));
  // No file is deleted.
  EXPECT_EQ(tree("/flash"),
            "/flash/etc/\n/flash/etc/conf=plain file\n/flash/gone=gone\n/flash/keep/\n"
            "/flash/keep/tmpAAAAAA=somebody's\n/flash/old/\n/flash/old/a=a\n"
            "/flash/old/tmpAbc123=staged by an earlier run\n/flash/var/\n/flash/var/pdb/\n"
            "/flash/var/pdb/image=image\n");
  ::unlink(host_path("/.staging").c_str());
  ::unlink(host_path("/flash/keep/tmpAAAAAA").c_str());

  write_file("/ram/MANIFEST", stored);
  const RunResult run = run_installer({"--commit"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "finishing install... \b \n");
  EXPECT_EQ(run.err, "");
  const std::string committed =
      "/flash/etc/\n/flash/etc/conf -> /flash/real/conf\n/flash/keep/\n/flash/old/\n"
      "/flash/old/b=staged by an earlier run\n/flash/var/\n/flash/var/pdb/\n/flash/var/pdb/p/\n"
      "/flash/var/pdb/p/image=image\n";
  EXPECT_EQ(tree("/flash"), committed);
  EXPECT_FALSE(exists("/ram/MANIFEST"));  // done: it must not replay over a later install
  // Again, as after a power cut that came once the moves were done: what they put into the
  // removed directory stays.
  write_file("/ram/MANIFEST", stored);
  EXPECT_EQ(run_installer({"--commit"}).status, 0);
  EXPECT_EQ(tree("/flash"), committed);
  // One read in part is not committed.
  write_file("/flash/gone", "gone");
  write_file("/ram/MANIFEST", "U /flash/gone\nL /flash/link\n");  // the second line is cut
  const RunResult partial = run_installer({"--commit"});
  EXPECT_EQ(partial.status, 1);
  EXPECT_EQ(partial.out, "ERROR: can not commit: Invalid argument\n");
  EXPECT_TRUE(exists("/flash/gone") && exists("/ram/MANIFEST"));
}

TEST_F(CommitMode, CommitModeCopiesAcrossFileSystemsWithTheSpinner) {
  require_mounts();
  ChildOptions options;
  options.mounts = {{"/ram", "1m"}};
  std::string contents;
  for (int i = 0; contents.size() < 100000; ++i) contents += std::to_string(i) + ",";
  write_file("/flash/big", std::string(150000, 'x'));  // longer, so truncation shows
  const RunResult run = run_in_root(
      [&contents] {
        put_file("/ram/tmpBig", contents);
        put_file("/ram/tmpTool", "#!");
        ::chmod("/ram/tmpTool", 0750);
        ::mkdir("/ram/tmpDir", 0755);
        put_file("/ram/MANIFEST",
                 "M /flash/big /ram/tmpBig\nM /flash/bin/tool /ram/tmpTool\n"
                 "M /flash/dir /ram/tmpDir\n");
        const int status = enter_installer({"--commit"});
        // The sources stay in RAM after a copy.
        return file_text("/ram/tmpBig") == contents && is_present("/ram/tmpDir") ? status : 2;
      },
      options);
  // A directory cannot be copied: that fails the commit, after everything else was done.
  EXPECT_EQ(run.status, 1);
  // The spinner turns every 200 ms of copying, which a loaded machine may reach.
  const std::regex spinner(
      "finishing install\\.\\.\\. \\|(\b[-/|\\\\])*\b \nERROR: can not commit: Is a directory\n");
  EXPECT_TRUE(std::regex_match(run.out, spinner)) << run.out;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(read_file("/flash/big"), contents);
  EXPECT_EQ(tree("/flash"), "/flash/big=" + contents.substr(0, 64) +
                                "...\n/flash/bin/\n/flash/bin/tool=#! mode=0750\n");
}

}  // namespace
