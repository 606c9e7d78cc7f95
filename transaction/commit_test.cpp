#include "transaction/commit.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>

#include "testing/root_fixture.h"
#include "transaction/file_ops.h"
#include "transaction/manifest.h"

namespace {

using CommitTest = RootFixture;

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
    const CommitResult result = commit(manifest, false);
    EXPECT_EQ(result.error, ENOTDIR);  // the first failure, once everything was tried
    EXPECT_TRUE(result.changed);
    std::cout << "operations=" << manifest.operations().size()
              << " entry=" << dir_entries("/flash/var/pdb/p");
    // The database entry waits for a commit in which every file reached its place.
    Manifest record;
    record.remove_path("/flash/var/pdb/p/");
    record.create_file("/flash/var/pdb/p/version", 32, 0) << "2 2\n";
    EXPECT_EQ(commit(record, false).error, 0);
    return 0;
  });
  EXPECT_EQ(run.out, "operations=11 entry=files,version");  // the operations stay
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

TEST_F(CommitTest, AStagedFileThatCannotReachItsPlaceStaysUntilTheNextRunClearsIt) {
  make_dirs("/flash/etc/x");  // a directory where the file belongs
  const RunResult run = run_in_root([] {
    Manifest manifest;
    manifest.create_file("/flash/etc/x", 10, 0) << "new";
    EXPECT_EQ(commit(manifest, false).error, EISDIR);
    const std::string staged = dir_entries("/.staging");
    std::cout << "etc=" << dir_entries("/flash/etc") << " staged=" << staged.substr(0, 3)
              << staged.size();
    // Only names the installer gives its staged files go.
    if (!put_file("/.staging/tmpABCDEFG", "") || !put_file("/.staging/notes", "")) return 99;
    clear_staging(manifest.staging(), {});
    std::cout << " after clearing=" << dir_entries("/.staging");
    return 0;
  });
  EXPECT_EQ(run.out, "etc=x staged=tmp9 after clearing=notes,tmpABCDEFG");
  EXPECT_EQ(run.err, "rename: Is a directory\n");
}

TEST_F(CommitTest, ACrossDeviceCopyReplacesWholeOrLeavesTheOldFile) {
  require_mounts();
  ChildOptions options;
  options.mounts = {{"/ram", "1m"}, {"/flash", "20k"}};
  const RunResult run = run_in_root(
      [] {
        if (!put_file("/flash/keep", "old") || !put_file("/flash/target", "target") ||
            !put_file("/flash/filler", std::string(4096, 'f')) ||
            ::symlink("/flash/target", "/flash/link") != 0 ||
            !put_file("/ram/big", std::string(20000, 'b')) || !put_file("/ram/small", "small") ||
            !put_file("/ram/deep", "deep")) {
          return 99;
        }
        Manifest manifest;
        manifest.add_move("/ram/big", "/flash/keep");       // does not fit
        manifest.add_move("/ram/small", "/flash/link");     // replaces the link, not its target
        manifest.add_move("/ram/deep", "/flash/new/deep");  // into a directory made first
        EXPECT_EQ(commit(manifest, false).error, ENOSPC);
        struct stat info;
        std::cout << "keep=" << file_text("/flash/keep") << " target=" << file_text("/flash/target")
                  << " link-is-file="
                  << (::lstat("/flash/link", &info) == 0 && S_ISREG(info.st_mode))
                  << " link=" << file_text("/flash/link")
                  << " deep=" << file_text("/flash/new/deep") << " flash=" << dir_entries("/flash")
                  << "\n";
        return 0;
      },
      options);
  EXPECT_EQ(run.out,
            "keep=old target=target link-is-file=1 link=small deep=deep"
            " flash=.staging,filler,keep,link,new,target\n");
  EXPECT_EQ(run.err, "");
}

}  // namespace
