#include "transaction/manifest.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>

#include "testing/root_fixture.h"
#include "transaction/file_ops.h"

namespace {

// "path kind source" per operation, in key order.
std::string describe(const Manifest& manifest) {
  const char* const kinds[] = {"move", "staged", "link", "remove"};  // as in ManifestKind
  std::string text;
  for (const auto& [path, op] : manifest.operations()) {
    text += path + " " + kinds[static_cast<int>(op.kind)] + " " + op.source + "\n";
  }
  return text;
}

class ManifestTest : public RootFixture {};

// Replacing or removing deletes only a staged source; keep_directory withdraws only a removal.
TEST_F(ManifestTest, LaterOperationsReplaceEarlierOnes) {
  make_dirs("/flash/var/pdb/p");
  make_dirs("/flash/var/pdb/q");
  write_file("/flash/var/pdb/file", "");
  write_file("/ram/download", "package");
  write_file("/flash/old", "old");
  write_file("/flash/replaced", "old");
  ASSERT_EQ(::symlink("/flash/nowhere", host_path("/flash/dangling").c_str()), 0);
  const RunResult run = run_in_root([] {
    Manifest manifest;
    const auto stage = [&manifest](const std::string& path) {
      manifest.create_file(path, 0, 0) << path;
      return staged_source(manifest, path);
    };
    const std::string first = stage("/flash/x"), second = stage("/flash/x");
    const std::string dropped = stage("/flash/new"), replaced = stage("/flash/replaced");
    std::cout << "first kept=" << is_present(first) << " second holds " << file_text(second);
    manifest.add_move("/ram/download", "/flash/x");  // a staged file gives way to a move
    std::cout << " second kept=" << is_present(second);
    manifest.add_link("/flash/elsewhere", "/flash/x");  // a move source is not ours
    manifest.add_link("/flash/old", "/flash/dangling");
    for (const char* path :
         {"/flash/new", "/flash/replaced", "/flash/dangling", "/flash/old", "/flash/missing"}) {
      manifest.remove_path(path);
    }
    // Only what exists is removed; a dropped staged file goes with its entry.
    std::cout << " download kept=" << is_present("/ram/download")
              << " dropped kept=" << is_present(dropped)
              << " replaced kept=" << is_present(replaced) << "\n";
    manifest.remove_path("/flash/var/pdb/p/");
    manifest.add_link("/flash/elsewhere", "/flash/var/pdb/q/");
    for (const char* name : {"p/", "q/", "new/", "file"}) {
      std::cout << name << "=" << manifest.keep_directory("/flash/var/pdb/" + std::string(name))
                << " ";
    }
    std::cout << "\n" << describe(manifest);
    return 0;
  });
  EXPECT_EQ(run.out,
            "first kept=0 second holds /flash/x second kept=0 download kept=1 dropped kept=0 "
            "replaced kept=0\np/=1 q/=0 new/=1 file=0 \n"
            "/flash/old remove \n/flash/replaced remove \n/flash/var/pdb/q/ link /flash/elsewhere\n"
            "/flash/x link /flash/elsewhere\n");
}

// And a saved transaction on a full disk is whole or not there.
TEST_F(ManifestTest, TemporaryFilesGoWhereThereIsRoom) {
  require_mounts();
  const std::string long_dir = "/flash/" + std::string(150, 'd');
  ChildOptions options;
  options.mounts = {{"/flash", "1m"}, {"/ram", "64k"}};
  const RunResult run = run_in_root(
      [&long_dir] {
        std::filesystem::create_directories("/flash/var/pdb");
        std::filesystem::create_directories(long_dir);
        put_file("/flash/plain", "a file where a directory belongs");
        Manifest manifest;
        const auto dir_of = [&manifest](const std::string& path, uint64_t hint, mode_t mode) {
          FileStream out = manifest.create_file(path, hint, mode);
          out << "data";
          out.close();
          struct stat info = {};
          const std::string temp = staged_source(manifest, path);
          ::stat(temp.c_str(), &info);
          std::cout << path.substr(path.rfind('/') + 1) << ": " << (out ? "" : "failed ")
                    << parent_dir(temp) << " mode=" << std::oct << (info.st_mode & 07777)
                    << std::dec << "\n";
        };
        dir_of("/flash/var/pdb/p/version", 32, 0);  // the staging area of the target's disk
        dir_of("/flash/var/pdb/p/files", 0, 0);     // no hint: RAM
        struct statfs flash;
        ::statfs("/flash", &flash);
        const uint64_t free_bytes = static_cast<uint64_t>(flash.f_bsize) * flash.f_bfree;
        dir_of("/flash/var/pdb/p/tight", free_bytes - free_bytes / 20, 0);  // not a tenth more
        dir_of("/flash/bin/tool", 10, 0755);
        dir_of(long_dir + "/file", 1, 0);  // no bound on the directory's length
        dir_of("/flash/plain/x", 32, 0);   // nothing staged
        // One block left, less than the second save takes.
        struct statfs ram;
        if (!put_file("/ram/MANIFEST", "U /flash/earlier\n") || ::statfs("/ram", &ram) != 0 ||
            !put_file("/ram/filler", std::string(ram.f_bsize * (ram.f_bfree - 1), 'f'))) {
          return 1;
        }
        for (int i = 0; i < 300; ++i) manifest.remove_path("/flash");
        for (int i = 0; i < 300; ++i) manifest.add_move("/src", "/flash/f" + std::to_string(i));
        errno = 0;
        const bool saved = manifest.save("/ram/MANIFEST");
        std::cout << "saved=" << saved << " (" << std::strerror(errno)
                  << ") ram=" << dir_entries("/ram") << " kept=" << file_text("/ram/MANIFEST");
        ::unlink("/ram/filler");
        std::cout << "saved=" << manifest.save("/ram/MANIFEST") << " ram=" << dir_entries("/ram");
        Manifest loaded;
        std::cout << " loaded=" << loaded.load("/ram/MANIFEST")
                  << " operations=" << loaded.operations().size() << "\n";
        if (::umount("/ram") != 0 || ::rmdir("/ram") != 0) return 1;
        dir_of("/flash/var/pdb/p/deps", 0, 0);  // no RAM disk: /tmp
        return 0;
      },
      options);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out,
            "version: /flash/.staging mode=600\nfiles: /ram/.staging mode=600\n"
            "tight: /ram/.staging mode=600\ntool: /flash/.staging mode=755\n"
            "file: /flash/.staging mode=600\nx: failed . mode=0\n"
            "saved=0 (No space left on device) ram=.staging,MANIFEST,filler kept=U /flash/earlier\n"
            "saved=1 ram=.staging,MANIFEST loaded=1 operations=306\ndeps: /.staging mode=600\n");
}

// Overlong paths are refused where they enter: neither added nor saved nor loaded.
TEST_F(ManifestTest, SaveThenLoadKeepsStagedFilesTheTransactionsOwn) {
  write_file("/flash/gone", "");
  const RunResult run = run_in_root([] {
    Manifest manifest;
    manifest.create_file("/flash/a", 0, 0).close();
    manifest.add_move("/flash/var/pdb/image", "/flash/bootimage");
    manifest.add_link("/target with spaces", "/flash/link");
    manifest.remove_path("/flash/gone");
    const std::string huge = "/flash/" + std::string(100000, 'a');
    manifest.add_move("/src", huge);
    manifest.add_move(huge, "/flash/c");
    manifest.add_link(huge, "/flash/d");
    errno = 0;
    const bool opened = manifest.create_file(huge, 10, 0).is_open();
    std::cout << "open=" << opened << " too-long=" << (errno == ENAMETOOLONG) << "\n";
    Manifest loaded;
    std::cout << staged_source(manifest, "/flash/a") << "\n"
              << "saved=" << manifest.save("/ram/MANIFEST")
              << " loaded=" << loaded.load("/ram/MANIFEST") << "\n"
              << file_text("/ram/MANIFEST") << describe(loaded);
    return 0;
  });
  const size_t first = run.out.find('\n') + 1;
  const std::string temp = run.out.substr(first, run.out.find('\n', first) - first);
  EXPECT_EQ(temp.rfind("/.staging/tmp", 0), 0u) << temp;
  EXPECT_EQ(run.out, "open=0 too-long=1\n" + temp + "\nsaved=1 loaded=1\nM /flash/a " + temp +
                         "\nM /flash/bootimage /flash/var/pdb/image\n"
                         "U /flash/gone\nL /flash/link /target with spaces\n"
                         "/flash/a staged " +
                         temp +
                         "\n/flash/bootimage move /flash/var/pdb/image\n"
                         "/flash/gone remove \n/flash/link link /target with spaces\n");
}

TEST_F(ManifestTest, LoadStopsAtAnEmptyOrMalformedOrOverlongLine) {
  const std::string huge = "/flash/" + std::string(100000, 'a');
  const std::pair<std::optional<std::string>, const char*> cases[] = {
      {std::nullopt, "0\n"},  // no file
      {"", "1\n"},
      {"U /a\n\nU /b\n", "1\n/a remove \n"},
      {"U /a", "1\n/a remove \n"},
      {"U\n", "0\n"},
      {"U /a\nL /b\nU /c\n", "0\n/a remove \n"},
      {"X /a b\nU /c d\n", "1\n/c d remove \n"},  // a removed path runs to the line end
      {"M /a /ram/b c\nM /a /ram/d\nL /l \n", "1\n/a move /ram/d\n/l link \n"},
      {"U /a\nU " + huge + "\nU /b\n", "0\n/a remove \n"},
  };
  const std::string file = host_path("/ram/MANIFEST");
  for (const auto& [text, result] : cases) {
    ::unlink(file.c_str());
    if (text) write_file("/ram/MANIFEST", *text);
    Manifest manifest;
    const bool loaded = manifest.load(file);
    EXPECT_EQ(std::to_string(loaded) + "\n" + describe(manifest), result)
        << (text ? text->substr(0, 40) : "(missing)");
  }
}

TEST_F(ManifestTest, SaveRefusesEntriesThatWouldReadBackAsOtherOperations) {
  const std::pair<std::string, std::string> links[] = {
      {"/flash/a\nU /flash/etc", "/target"},
      {"/flash/a", "/target\nU /flash/etc"},
      {"/flash/a U", "/flash/etc"},
      {"/flash/z\nL", "/target"},  // would load as a malformed line, dropping the rest
  };
  const std::string file = host_path("/ram/MANIFEST");
  for (const auto& [path, target] : links) {
    write_file("/ram/MANIFEST", "U /flash/from-an-earlier-run\n");
    Manifest manifest;
    manifest.add_link("/fine", "/flash/fine");
    manifest.add_link(target, path);
    Manifest loaded;
    EXPECT_FALSE(manifest.save(file)) << path << " -> " << target;
    EXPECT_EQ(read_file("/ram/MANIFEST"), "U /flash/from-an-earlier-run\n");
    EXPECT_EQ(dir_entries(host_path("/ram")), "MANIFEST");
  }
}

}  // namespace
