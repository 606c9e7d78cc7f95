#include "database/database_writer.h"

#include <sys/stat.h>

#include <iostream>

#include "package/console.h"
#include "testing/root_fixture.h"
#include "transaction/commit.h"
#include "transaction/manifest.h"

namespace {

const std::string P_DIR = "/flash/var/pdb/p/";

using DatabaseWriterTest = RootFixture;

TEST_F(DatabaseWriterTest, RecordsHaveTheExactFilesOfTheirKind) {
  write_file(P_DIR + "enabled", "user\n");
  const std::string q_dir = "/flash/var/pdb/q/";
  write_file(q_dir + "provides", "old 1 1 1\n");
  write_file(q_dir + "conflicts", "x 0 0\n");
  write_file(q_dir + "bundle", "oldsuite\n");
  write_file(q_dir + "disabled", "user\n");
  write_file(q_dir + "files", "flash/bin/old\n");
  for (const std::string dir : {"/flash/var/pdb/r/", "/flash/var/pdb/s/"}) {
    write_file(dir + "image", "package file");
    write_file(dir + "version", "old\n");
    write_file(dir + "disabled", "user\n");
    write_file(dir + "enabled", "user\n");
  }
  const RunResult run = run_in_root([] {
    Package full("p");  // every field set, as a member of the bundle "suite"
    full.version = make_version(1, 2, KIND_FINAL, 3);
    full.build_time = 4294967295u;
    full.depends = {{"libc", 16803328, 4294967295u, 0}, {"zlib", 0, 0, 0}};
    full.provides = {{"net", 5, 6, -3}, {"web", 0, 0, 7}};
    full.conflicts = {{"old", 7, 0, 0}};
    full.bundle = {"suite", 9, 9, 0};
    full.files = {"/flash/etc/b", "/flash/bin/a", "", "/"};
    full.disabled = true;
    Package bare("q");  // empty lists leave old provides and conflicts in place
    bare.version = 1;
    bare.is_bundle = true;
    bare.user_forced = true;
    Package part21("r");  // kept whole as images: only the markers
    part21.has_image_part = true;
    Package flagged("s");
    flagged.header_flags = HEADER_NO_TEXT_DB | HEADER_BOOT_IMAGE;
    Package off("t");
    off.version = 2;
    off.disabled = off.user_forced = true;
    Console console(std::cout);
    Manifest manifest;
    for (const Package* package : {&full, &bare, &part21, &flagged, &off}) {
      if (!write_database_record(console, *package, manifest)) return 1;
    }
    EXPECT_EQ(commit(manifest, false).error, 0);
    return 0;
  });
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "");
  // Modes other than 0600 and 0644 show in the tree; the version file must be 0600.
  EXPECT_EQ(
      tree("/flash/var/pdb"),
      "/flash/var/pdb/p/\n/flash/var/pdb/p/bundle=suite\n\n"
      "/flash/var/pdb/p/conflicts=old 7 0\n\n"
      "/flash/var/pdb/p/deps=libc 16803328 4294967295\nzlib 0 0\n\n"
      "/flash/var/pdb/p/disabled=auto\n\n/flash/var/pdb/p/files=flash/bin/a\nflash/etc/b\n\n"
      "/flash/var/pdb/p/provides=net 5 6 -3\nweb 0 0 7\n\n"
      "/flash/var/pdb/p/version=16934403 4294967295\n\n"
      "/flash/var/pdb/q/\n/flash/var/pdb/q/conflicts=x 0 0\n\n/flash/var/pdb/q/deps=\n"
      "/flash/var/pdb/q/enabled=user\n\n/flash/var/pdb/q/files=flash/bin/old\n\n"
      "/flash/var/pdb/q/provides=old 1 1 1\n\n/flash/var/pdb/q/version=1 0\n\n"
      "/flash/var/pdb/r/\n/flash/var/pdb/r/image=package file\n/flash/var/pdb/r/version=old\n\n"
      "/flash/var/pdb/s/\n/flash/var/pdb/s/image=package file\n/flash/var/pdb/s/version=old\n\n"
      "/flash/var/pdb/t/\n/flash/var/pdb/t/deps=\n/flash/var/pdb/t/disabled=user\n\n"
      "/flash/var/pdb/t/files=\n/flash/var/pdb/t/version=2 0\n\n");
  struct stat info;
  ASSERT_EQ(::stat(host_path(P_DIR + "version").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
}

// And a file where the database belongs is named in the message.
TEST_F(DatabaseWriterTest, MarkersFollowDisableAndEnable) {
  write_file(P_DIR + "enabled", "user\n");
  const RunResult run = run_in_root([] {
    Package package("p");
    const auto step = [&package](void (*mark)(Package&, Manifest&), bool forced) {
      package.user_forced = forced;
      package.action = ACTION_DISABLE;
      Manifest manifest;
      mark(package, manifest);
      EXPECT_EQ(commit(manifest, false).error, 0);
      std::cout << "disabled=" << package.disabled << " action=" << package.action
                << " files=" << dir_entries("/flash/var/pdb/p")
                << " disabled:" << file_text("/flash/var/pdb/p/disabled")
                << " enabled:" << file_text("/flash/var/pdb/p/enabled") << "\n";
    };
    step(mark_disabled, false);
    step(mark_enabled, false);
    step(mark_enabled, true);
    step(mark_disabled, true);
    std::filesystem::remove_all("/flash/var/pdb");
    if (!put_file("/flash/var/pdb", "a file where the database belongs")) return 1;
    package.version = make_version(1, 0, KIND_FINAL, 0);
    Console console(std::cout);
    Manifest manifest;
    const bool written = write_database_record(console, package, manifest);
    std::cout << "written=" << written << "\n";
    return 0;
  });
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out,
            "disabled=1 action=0 files=disabled disabled:auto\n enabled:\n"
            "disabled=0 action=0 files= disabled: enabled:\n"
            "disabled=0 action=0 files=enabled disabled: enabled:user\n\n"
            "disabled=1 action=0 files=disabled disabled:user\n enabled:\n"
            "ERROR: installation of p-1.0 failed: could not create meta/version: Not a directory\n"
            "written=0\n");
}

TEST_F(DatabaseWriterTest, FullDiskIsReportedAndNothingReachesAFinalPath) {
  require_mounts();
  ChildOptions options;
  options.mounts = {{"/ram", "8k"}, {"/flash", "4k"}};
  const RunResult run = run_in_root(
      [] {
        // No room on the flash sends every staged file to RAM, which holds two blocks.
        std::filesystem::create_directories("/flash/var/pdb");
        if (!put_file("/flash/filler", std::string(4096, 'f'))) return 1;
        Package package("p");
        package.version = make_version(1, 0, KIND_FINAL, 0);
        package.bundle = {"suite", make_version(2, 1, KIND_FINAL, 0), 0, 0};
        package.files = {"/flash/bin/p"};
        Console console(std::cout);
        Manifest manifest;
        const bool written = write_database_record(console, package, manifest);
        std::cout << "written=" << written << " database=[" << dir_entries("/flash/var/pdb")
                  << "] staged:";
        for (const auto& [path, op] : manifest.operations()) {
          std::cout << " " << path.substr(path.rfind('/') + 1) << "="
                    << (op.source.rfind("/ram/.staging/tmp", 0) == 0 && is_present(op.source));
        }
        cancel(manifest);
        std::cout << " ram after cancel=[" << dir_entries("/ram") << "]\n";
        return 0;
      },
      options);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out,
            "ERROR: installation of suite-2.1 failed: disk is too small\n"
            "written=0 database=[] staged: bundle=1 deps=1 files=1 version=1"
            " ram after cancel=[.staging]\n");
}

}  // namespace
