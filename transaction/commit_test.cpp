#include "transaction/commit.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>

#include "installer/entry.h"
#include "testing/root_fixture.h"
#include "transaction/manifest.h"
#include "transaction/test_files.h"

namespace {

class CommitTest : public RootFixture {
 protected:
  std::string link_target(const std::string& path) const {
    std::error_code error;
    return std::filesystem::read_symlink(host_path(path), error);
  }
};

TEST_F(CommitTest, EveryOperationIsCarriedOutInTwoPassesWhateverFailed) {
  write_file("/flash/var/pdb/p/version", "1 1\n");
  write_file("/flash/var/pdb/p/files", "bin/p\n");
  write_file("/flash/d/a", "a");
  write_file("/flash/d/.hidden", "h");
  write_file("/flash/d/sub/c", "c");
  write_file("/flash/e/a", "a");
  write_file("/ram/b", "b");
  write_file("/ram/c", "c");
  write_file("/flash/was-dir/x", "x");
  write_file("/flash/etc/conf", "file in the way");
  write_file("/flash/blocker", "a file, not a directory");
  const RunResult run = run_in_root([] {
    Manifest manifest;
    manifest.remove_path("/flash/d");
    manifest.remove_path("/flash/e");
    manifest.remove_path("/flash/var/pdb/p/");
    manifest.create_file("/flash/var/pdb/p/version", 32, 0) << "2 2\n";
    manifest.add_move("/ram/missing", "/flash/a");
    manifest.add_move("/ram/b", "/flash/b");
    manifest.remove_path("/flash/was-dir/");
    manifest.add_move("/ram/c", "/flash/was-dir");  // path order would move before removing
    manifest.add_link("/anything", "/flash/blocker/x");
    manifest.add_link("/flash/real/conf", "/flash/etc/conf");
    manifest.add_link("../lib/x", "/flash/new/dir/x");
    commit(manifest, false);
    std::cout << manifest.operations().size();
    return 0;
  });
  EXPECT_EQ(run.out, "11");  // the operations stay
  EXPECT_EQ(run.err, "symlink: Not a directory\nrename: No such file or directory\n");
  // A removed directory loses only its plain entries, and can be refilled.
  EXPECT_EQ(dir_entries(host_path("/flash/d")), ".hidden,sub");
  EXPECT_EQ(dir_entries(host_path("/flash/d/sub")), "c");
  EXPECT_FALSE(exists("/flash/e"));
  EXPECT_EQ(dir_entries(host_path("/flash/var/pdb/p")), "version");
  EXPECT_EQ(read_file("/flash/var/pdb/p/version"), "2 2\n");
  EXPECT_FALSE(exists("/flash/a"));
  EXPECT_EQ(read_file("/flash/b"), "b");
  EXPECT_EQ(read_file("/flash/was-dir"), "c");
  EXPECT_EQ(link_target("/flash/etc/conf"), "/flash/real/conf");
  EXPECT_EQ(link_target("/flash/new/dir/x"), "../lib/x");
}

TEST_F(CommitTest, CancelModeDropsAndCommitModeCarriesOutAStoredTransaction) {
  write_file("/flash/old/a", "a");
  write_file("/flash/gone", "gone");
  write_file("/flash/etc/conf", "plain file");
  write_file("/flash/old/tmpAbc123", "staged by an earlier run");  // spared by the removal
  write_file("/flash/var/pdb/image", "image");
  const std::string stored =
      "U /flash/gone\n"
      "L /flash/etc/conf /flash/real/conf\n"
      "U /flash/old\n"
      "M /flash/old/b /flash/old/tmpAbc123\n"
      "M /flash/var/pdb/p/image /flash/var/pdb/image\n";
  write_file("/ram/MANIFEST", stored);
  const RunResult cancelled = run_installer({"--cancel"});
  EXPECT_EQ(cancelled.status, 0);
  EXPECT_EQ(cancelled.out + cancelled.err, "");
  EXPECT_FALSE(exists("/ram/MANIFEST"));
  EXPECT_TRUE(exists("/flash/gone"));
  EXPECT_EQ(read_file("/flash/etc/conf"), "plain file");
  EXPECT_EQ(dir_entries(host_path("/flash/old")), "a,tmpAbc123");  // no file is deleted
  EXPECT_FALSE(exists("/flash/var/pdb/p"));

  write_file("/ram/MANIFEST", stored);
  const RunResult run = run_installer({"--commit"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "finishing install... \b \n");
  EXPECT_EQ(run.err, "");
  EXPECT_FALSE(exists("/flash/gone"));
  EXPECT_EQ(link_target("/flash/etc/conf"), "/flash/real/conf");
  EXPECT_EQ(dir_entries(host_path("/flash/old")), "b");
  EXPECT_EQ(read_file("/flash/old/b"), "staged by an earlier run");
  EXPECT_EQ(read_file("/flash/var/pdb/p/image"), "image");
  EXPECT_TRUE(exists("/ram/MANIFEST"));
}

TEST_F(CommitTest, CommitModeCopiesAcrossFileSystemsWithTheSpinner) {
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
        char name[] = "installer", mode[] = "--commit";
        char* argv[] = {name, mode, nullptr};
        const int status = ::run_installer(2, argv);
        // The sources stay in RAM after a copy.
        return status == 0 && file_text("/ram/tmpBig") == contents && is_present("/ram/tmpDir") ? 0
                                                                                                : 2;
      },
      options);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "finishing install... |\b \n");
  EXPECT_EQ(run.err, "");  // a failed fallback copy is silent
  EXPECT_EQ(read_file("/flash/big"), contents);
  struct stat info;
  ASSERT_EQ(::stat(host_path("/flash/bin/tool").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0750u);
  EXPECT_FALSE(exists("/flash/dir"));
}

TEST_F(CommitTest, ACrossDeviceCopyReplacesWholeOrLeavesTheOldFile) {
  require_mounts();
  ChildOptions options;
  options.mounts = {{"/ram", "1m"}, {"/flash", "16k"}};
  const RunResult run = run_in_root(
      [] {
        if (!put_file("/flash/keep", "old") || !put_file("/flash/target", "target") ||
            !put_file("/flash/filler", std::string(4096, 'f')) ||
            ::symlink("/flash/target", "/flash/link") != 0 ||
            !put_file("/ram/big", std::string(20000, 'b')) || !put_file("/ram/small", "small")) {
          return 99;
        }
        Manifest manifest;
        manifest.add_move("/ram/big", "/flash/keep");    // does not fit
        manifest.add_move("/ram/small", "/flash/link");  // replaces the link, not its target
        commit(manifest, false);
        struct stat info;
        std::cout << file_text("/flash/keep") << " " << file_text("/flash/target") << " "
                  << (::lstat("/flash/link", &info) == 0 && S_ISREG(info.st_mode)) << " "
                  << file_text("/flash/link") << " " << dir_entries("/flash") << "\n";
        return 0;
      },
      options);
  EXPECT_EQ(run.out, "old target 1 small filler,keep,link,target\n");
  EXPECT_EQ(run.err, "");
}

}  // namespace
