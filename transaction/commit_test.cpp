#include "transaction/commit.h"

#include <unistd.h>

#include <iostream>

#include "installer/entry.h"
#include "testing/root_fixture.h"
#include "transaction/manifest.h"
#include "transaction/test_files.h"

namespace {

class CommitTest : public RootFixture {
 protected:
  std::string link_target(const std::string& path) const {
    char buffer[256];
    const ssize_t size = ::readlink(host_path(path).c_str(), buffer, sizeof buffer);
    return size < 0 ? "" : std::string(buffer, static_cast<size_t>(size));
  }
};

int run_entry(std::vector<std::string> words) {
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  return ::run_installer(static_cast<int>(words.size()), argv.data());
}

TEST_F(CommitTest, RemovedAndRefilledDirectoryHoldsOnlyTheNewFiles) {
  write_file("/flash/var/pdb/p/version", "1 1\n");
  write_file("/flash/var/pdb/p/files", "bin/p\n");
  const RunResult run = run_in_root([] {
    Manifest manifest;
    manifest.remove_path("/flash/var/pdb/p/");
    std::ofstream out = manifest.create_file("/flash/var/pdb/p/version", 32, 0);
    out << "2 2\n";
    out.close();
    commit(manifest, false);
    std::cout << manifest.operations().size();
    return 0;
  });
  EXPECT_EQ(run.out, "2");  // the operations stay
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(dir_entries(host_path("/flash/var/pdb/p")), "version");
  EXPECT_EQ(read_file("/flash/var/pdb/p/version"), "2 2\n");
  EXPECT_EQ(dir_entries(host_path("/flash/var/pdb")), "p");  // renamed, not copied
}

TEST_F(CommitTest, RemovingADirectoryTakesOnlyItsPlainEntries) {
  write_file("/flash/d/a", "a");
  write_file("/flash/d/.hidden", "h");
  write_file("/flash/d/sub/c", "c");
  write_file("/flash/e/a", "a");
  const RunResult run = run_in_root([] {
    Manifest manifest;
    manifest.remove_path("/flash/d");
    manifest.remove_path("/flash/e");
    commit(manifest, false);
    return 0;
  });
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(dir_entries(host_path("/flash/d")), ".hidden,sub");
  EXPECT_EQ(dir_entries(host_path("/flash/d/sub")), "c");
  EXPECT_FALSE(exists("/flash/e"));
}

TEST_F(CommitTest, LinksReplaceFilesAndMakeTheirDirectories) {
  write_file("/flash/etc/conf", "file in the way");
  write_file("/flash/blocker", "a file, not a directory");
  const RunResult run = run_in_root([] {
    Manifest manifest;
    manifest.add_link("/flash/real/conf", "/flash/etc/conf");
    manifest.add_link("../lib/x", "/flash/new/dir/x");
    manifest.add_link("/anything", "/flash/blocker/x");
    commit(manifest, false);
    return 0;
  });
  EXPECT_EQ(link_target("/flash/etc/conf"), "/flash/real/conf");
  EXPECT_EQ(link_target("/flash/new/dir/x"), "../lib/x");
  EXPECT_EQ(run.err, "symlink: Not a directory\n");
}

TEST_F(CommitTest, EveryOperationIsTriedWhateverFailedBefore) {
  write_file("/ram/b", "b");
  write_file("/ram/c", "c");
  write_file("/flash/old", "old");
  const RunResult run = run_in_root([] {
    Manifest manifest;
    manifest.add_move("/ram/missing", "/flash/a");
    manifest.add_move("/ram/b", "/flash/b");
    manifest.remove_path("/flash/old");
    manifest.add_move("/ram/c", "/flash/old/c");  // the file in the way went first
    commit(manifest, false);
    return 0;
  });
  EXPECT_EQ(run.err, "rename: No such file or directory\n");
  EXPECT_FALSE(exists("/flash/a"));
  EXPECT_EQ(read_file("/flash/b"), "b");
  EXPECT_EQ(read_file("/flash/old/c"), "c");
}

TEST_F(CommitTest, CancelDeletesOnlyTheStagedFiles) {
  write_file("/ram/download", "package");
  write_file("/flash/kept", "old");
  make_dirs("/flash/var/pdb");
  const RunResult run = run_in_root([] {
    Manifest manifest;
    manifest.create_file("/flash/var/pdb/p/version", 32, 0) << "1 1\n";
    manifest.create_file("/flash/var/pdb/p/files", 0, 0) << "bin/p\n";
    manifest.create_file("/flash/kept", 0, 0700) << "new";
    manifest.add_move("/ram/download", "/flash/var/pdb/p/image");
    manifest.add_link("/flash/x", "/flash/y");
    manifest.remove_path("/flash/kept");
    cancel(manifest);
    std::cout << manifest.empty();
    commit(manifest, false);  // a cancelled transaction commits to nothing
    return 0;
  });
  EXPECT_EQ(run.out, "1");
  EXPECT_EQ(dir_entries(host_path("/flash/var/pdb")), "");
  EXPECT_EQ(dir_entries(host_path("/ram")), "download");
  EXPECT_EQ(read_file("/flash/kept"), "old");
  EXPECT_FALSE(exists("/flash/y"));
}

TEST_F(CommitTest, CommitModeCarriesOutAStoredTransaction) {
  write_file("/flash/old/a", "a");
  write_file("/flash/gone", "gone");
  write_file("/flash/etc/conf", "plain file");
  write_file("/flash/old/tmpAbc123", "staged by an earlier run");  // spared by the removal
  write_file("/flash/var/pdb/image", "image");
  write_file("/ram/MANIFEST",
             "U /flash/gone\n"
             "L /flash/etc/conf /flash/real/conf\n"
             "U /flash/old\n"
             "M /flash/old/b /flash/old/tmpAbc123\n"
             "M /flash/var/pdb/p/image /flash/var/pdb/image\n");
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

TEST_F(CommitTest, CancelModeDropsAStoredTransactionWithoutDeletingFiles) {
  write_file("/flash/gone", "gone");
  write_file("/flash/tmpAbc123", "staged by an earlier run");
  write_file("/ram/MANIFEST",
             "U /flash/gone\n"
             "L /flash/link /flash/real\n"
             "M /flash/new /flash/tmpAbc123\n");
  const RunResult run = run_installer({"--cancel"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "");
  EXPECT_TRUE(exists("/flash/gone"));
  EXPECT_TRUE(exists("/flash/tmpAbc123"));
  EXPECT_FALSE(exists("/flash/link"));
  EXPECT_FALSE(exists("/flash/new"));
  EXPECT_FALSE(exists("/ram/MANIFEST"));
}

TEST_F(CommitTest, CommitModeCopiesAcrossFileSystemsWithTheSpinner) {
  require_mounts();
  ChildOptions options;
  options.mounts = {{"/ram", "1m"}};
  const std::string contents(100000, 'z');
  const RunResult run = run_in_root(
      [&contents] {
        if (!put_file("/ram/tmpBig", contents) || ::mkdir("/ram/tmpDir", 0755) != 0 ||
            !put_file("/ram/MANIFEST", "M /flash/big /ram/tmpBig\nM /flash/dir /ram/tmpDir\n")) {
          return 1;
        }
        const int status = run_entry({"installer", "--commit"});
        // The sources stay in RAM after a copy.
        return status == 0 && file_text("/ram/tmpBig") == contents && is_present("/ram/tmpDir") ? 0
                                                                                                : 2;
      },
      options);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "finishing install... |\b \n");
  EXPECT_EQ(run.err, "");  // a failed fallback copy is silent
  EXPECT_EQ(read_file("/flash/big"), contents);
  EXPECT_FALSE(exists("/flash/dir"));
}

}  // namespace
