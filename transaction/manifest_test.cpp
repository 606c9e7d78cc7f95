#include "transaction/manifest.h"

#include <sys/stat.h>
#include <unistd.h>

#include <iostream>

#include "testing/root_fixture.h"
#include "transaction/file_ops.h"
#include "transaction/test_files.h"

namespace {

const char* kind_name(ManifestKind kind) {
  switch (kind) {
    case ManifestKind::move:
      return "move";
    case ManifestKind::staged:
      return "staged";
    case ManifestKind::link:
      return "link";
    case ManifestKind::remove:
      return "remove";
  }
  return "?";
}

// "path kind source" per operation, in key order.
std::string describe(const Manifest& manifest) {
  std::string text;
  for (const auto& [path, op] : manifest.operations()) {
    text += path + " " + kind_name(op.kind) + " " + op.source + "\n";
  }
  return text;
}

std::string staged_source(const Manifest& manifest, const std::string& path) {
  auto found = manifest.operations().find(path);
  return found == manifest.operations().end() ? "" : found->second.source;
}

class ManifestTest : public RootFixture {};

TEST_F(ManifestTest, ReplacingAnOperationDeletesOnlyAStagedSource) {
  write_file("/ram/download", "package");
  const RunResult run = run_in_root([] {
    Manifest manifest;
    std::ofstream first = manifest.create_file("/flash/x", 0, 0);
    first << "one";
    first.close();
    const std::string first_temp = staged_source(manifest, "/flash/x");
    std::ofstream second = manifest.create_file("/flash/x", 0, 0);
    second << "two";
    second.close();
    const std::string second_temp = staged_source(manifest, "/flash/x");
    std::cout << manifest.operations().size() << is_present(first_temp) << file_text(second_temp)
              << "\n";
    manifest.add_move("/ram/download", "/flash/x");  // a staged file gives way to a move
    std::cout << is_present(second_temp) << "\n";
    manifest.add_link("/flash/elsewhere", "/flash/x");  // a move source is not ours
    std::cout << is_present("/ram/download") << "\n" << describe(manifest);
    return 0;
  });
  EXPECT_EQ(run.out, "10two\n0\n1\n/flash/x link /flash/elsewhere\n");
}

TEST_F(ManifestTest, CreateFilePlacesTemporaryFilesByHintAndRoom) {
  make_dirs("/flash/var/pdb");
  const std::string long_dir = "/flash/" + std::string(150, 'd');
  make_dirs(long_dir);
  const RunResult run = run_in_root([&long_dir] {
    Manifest manifest;
    const auto dir_of = [&manifest](const std::string& path, uint64_t hint, mode_t mode) {
      std::ofstream out = manifest.create_file(path, hint, mode);
      out << "data";
      out.close();
      struct stat info;
      const std::string temp = staged_source(manifest, path);
      ::stat(temp.c_str(), &info);
      std::cout << (out ? "" : "failed ") << parent_dir(temp) << " " << std::oct
                << (info.st_mode & 07777) << std::dec << "\n";
    };
    dir_of("/flash/var/pdb/p/version", 32, 0);       // nearest existing ancestor
    dir_of("/flash/var/pdb/p/files", 0, 0);          // no hint: RAM
    dir_of("/flash/var/pdb/p/huge", 1ULL << 60, 0);  // no room anywhere
    dir_of("/flash/bin/tool", 10, 0755);
    dir_of(long_dir + "/file", 1, 0);  // no bound on the directory's length
    ::rename("/ram", "/ram-away");
    dir_of("/flash/var/pdb/p/deps", 0, 0);  // no RAM disk: /tmp
    return 0;
  });
  EXPECT_EQ(run.out,
            "/flash/var/pdb 600\n/ram 600\n/ram 600\n/flash 755\n" + long_dir + " 600\n/tmp 600\n");
}

TEST_F(ManifestTest, CreateFileWithoutATemporaryFileLeavesTheStreamClosed) {
  write_file("/flash/var/pdb", "a file where a directory belongs");
  const RunResult run = run_in_root([] {
    Manifest manifest;
    std::ofstream out = manifest.create_file("/flash/var/pdb/p/version", 32, 0);
    std::cout << out.is_open() << " " << (errno == ENOTDIR) << " " << describe(manifest);
    return 0;
  });
  EXPECT_EQ(run.out, "0 1 /flash/var/pdb/p/version staged /flash/var/pdb/tmpXXXXXX\n");
}

TEST_F(ManifestTest, RemovePathStagesOnlyWhatExists) {
  write_file("/flash/old", "old");
  write_file("/flash/replaced", "old");
  ASSERT_EQ(::symlink("/flash/nowhere", host_path("/flash/dangling").c_str()), 0);
  const RunResult run = run_in_root([] {
    Manifest manifest;
    manifest.create_file("/flash/new", 0, 0).close();
    const std::string new_temp = staged_source(manifest, "/flash/new");
    manifest.create_file("/flash/replaced", 0, 0).close();
    const std::string replaced_temp = staged_source(manifest, "/flash/replaced");
    manifest.add_link("/flash/old", "/flash/dangling");
    for (const char* path :
         {"/flash/new", "/flash/replaced", "/flash/dangling", "/flash/old", "/flash/missing"}) {
      manifest.remove_path(path);
    }
    // A dropped staged file stays where it is; a replaced one is deleted.
    std::cout << is_present(new_temp) << is_present(replaced_temp) << "\n" << describe(manifest);
    return 0;
  });
  EXPECT_EQ(run.out, "10\n/flash/old remove \n/flash/replaced remove \n");
}

TEST_F(ManifestTest, KeepDirectoryWithdrawsOnlyARemoval) {
  make_dirs("/flash/var/pdb/p");
  make_dirs("/flash/var/pdb/q");
  write_file("/flash/var/pdb/file", "");
  const RunResult run = run_in_root([] {
    Manifest manifest;
    manifest.remove_path("/flash/var/pdb/p/");
    manifest.add_link("/flash/elsewhere", "/flash/var/pdb/q/");
    std::cout << manifest.keep_directory("/flash/var/pdb/p/")
              << manifest.keep_directory("/flash/var/pdb/q/")
              << manifest.keep_directory("/flash/var/pdb/new/")
              << manifest.keep_directory("/flash/var/pdb/file") << "\n"
              << describe(manifest);
    return 0;
  });
  EXPECT_EQ(run.out, "1010\n/flash/var/pdb/q/ link /flash/elsewhere\n");
}

TEST_F(ManifestTest, SaveThenLoadGivesTheSameOperationsAsMoves) {
  write_file("/flash/gone", "");
  const RunResult run = run_in_root([] {
    Manifest manifest;
    std::ofstream out = manifest.create_file("/flash/a", 0, 0);
    out.close();
    manifest.add_move("/flash/var/pdb/image", "/flash/bootimage");
    manifest.add_link("/target with spaces", "/flash/link");
    manifest.remove_path("/flash/gone");
    if (!manifest.save("/ram/MANIFEST")) return 1;
    std::cout << file_text("/ram/MANIFEST") << "--\n";
    Manifest loaded;
    std::cout << loaded.load("/ram/MANIFEST") << "\n" << describe(loaded);
    std::cout << (staged_source(loaded, "/flash/a") == staged_source(manifest, "/flash/a"));
    return 0;
  });
  ASSERT_EQ(run.status, 0);
  const std::string temp = run.out.substr(11, run.out.find('\n') - 11);
  EXPECT_EQ(temp.rfind("/ram/tmp", 0), 0u) << temp;
  EXPECT_EQ(run.out, "M /flash/a " + temp +
                         "\nM /flash/bootimage /flash/var/pdb/image\n"
                         "U /flash/gone\nL /flash/link /target with spaces\n--\n1\n"
                         "/flash/a move " +
                         temp +
                         "\n/flash/bootimage move /flash/var/pdb/image\n"
                         "/flash/gone remove \n/flash/link link /target with spaces\n1");
}

TEST_F(ManifestTest, LoadStopsAtAnEmptyOrMalformedLine) {
  struct Case {
    const char* text;  // null: no file
    const char* result;
  };
  const Case cases[] = {
      {nullptr, "0\n"},
      {"", "1\n"},
      {"U /a\n\nU /b\n", "1\n/a remove \n"},
      {"U /a", "1\n/a remove \n"},
      {"U\n", "0\n"},
      {"U /a\nL /b\nU /c\n", "0\n/a remove \n"},
      {"M /a\n", "0\n"},
      {"X /a b\nU /c d\n", "1\n/c remove \n"},
      {"M /a /ram/b c\nM /a /ram/d\nL /l \n", "1\n/a move /ram/d\n/l link \n"},
  };
  for (const Case& test : cases) {
    ::unlink(host_path("/ram/MANIFEST").c_str());
    if (test.text) write_file("/ram/MANIFEST", test.text);
    const RunResult run = run_in_root([] {
      Manifest manifest;
      std::cout << manifest.load("/ram/MANIFEST") << "\n" << describe(manifest);
      return 0;
    });
    EXPECT_EQ(run.out, test.result) << (test.text ? test.text : "(missing)");
  }
}

TEST_F(ManifestTest, SaveRefusesEntriesThatWouldReadBackAsOtherOperations) {
  write_file("/ram/MANIFEST", "U /flash/from-an-earlier-run\n");
  const std::pair<std::string, std::string> links[] = {
      {"/flash/a\nU /flash/etc", "/target"},
      {"/flash/a", "/target\nU /flash/etc"},
      {"/flash/a U", "/flash/etc"},
  };
  for (const auto& [path, target] : links) {
    const RunResult run = run_in_root([&path = path, &target = target] {
      Manifest manifest;
      manifest.add_link("/fine", "/flash/fine");
      manifest.add_link(target, path);
      std::cout << manifest.save("/ram/MANIFEST");
      Manifest loaded;
      std::cout << loaded.load("/ram/MANIFEST") << loaded.empty();
      return 0;
    });
    EXPECT_EQ(run.out, "011") << path << " -> " << target;
    EXPECT_EQ(read_file("/ram/MANIFEST"), "");
  }
}

}  // namespace
