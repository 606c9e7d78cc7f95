#include "database/database_writer.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <iostream>
#include <memory>

#include "database/database_reader.h"
#include "installer/repository.h"
#include "testing/root_fixture.h"
#include "transaction/commit.h"
#include "transaction/manifest.h"
#include "transaction/test_files.h"

namespace {

const std::string P_DIR = "/flash/var/pdb/p/";

class DatabaseWriterTest : public RootFixture {
 protected:
  // "name=contents" for each file of the entry, "|"-separated, in name order.
  std::string entry_files(const std::string& dir) const {
    std::string text;
    std::string names = dir_entries(host_path(dir));
    for (size_t start = 0; start < names.size();) {
      const size_t comma = std::min(names.find(',', start), names.size());
      const std::string name = names.substr(start, comma - start);
      text += name + "=" + read_file(dir + name) + "|";
      start = comma + 1;
    }
    return text;
  }
};

TEST_F(DatabaseWriterTest, TextFormHasTheExactBytes) {
  write_file(P_DIR + "enabled", "user\n");
  const RunResult run = run_in_root([] {
    Package package("p");
    package.version = make_version(1, 2, KIND_FINAL, 3);
    package.build_time = 4294967295u;
    package.depends = {{"libc", 16803328, 4294967295u, 0}, {"zlib", 0, 0, 0}};
    package.provides = {{"net", 5, 6, -3}, {"web", 0, 0, 7}};
    package.conflicts = {{"old", 7, 0, 0}};
    package.bundle = {"suite", 9, 9, 0};
    package.files = {"/flash/etc/b", "/flash/bin/a", "", "/"};
    package.disabled = true;
    Manifest manifest;
    if (!write_database_record(package, manifest)) return 1;
    commit(manifest, false);
    return 0;
  });
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(entry_files(P_DIR),
            "bundle=suite\n|"
            "conflicts=old 7 0\n|"
            "deps=libc 16803328 4294967295\nzlib 0 0\n|"
            "disabled=auto\n|"
            "files=flash/bin/a\nflash/etc/b\n|"
            "provides=net 5 6 -3\nweb 0 0 7\n|"
            "version=16934403 4294967295\n|");
  struct stat info;
  ASSERT_EQ(::stat(host_path(P_DIR + "version").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
}

TEST_F(DatabaseWriterTest, EmptyListsLeaveOldProvidesAndConflictsInPlace) {
  write_file(P_DIR + "provides", "old 1 1 1\n");
  write_file(P_DIR + "conflicts", "x 0 0\n");
  write_file(P_DIR + "bundle", "oldsuite\n");
  write_file(P_DIR + "disabled", "user\n");
  write_file(P_DIR + "files", "flash/bin/old\n");
  const RunResult run = run_in_root([] {
    Package package("p");
    package.version = 1;
    package.is_bundle = true;
    package.user_forced = true;
    Manifest manifest;
    if (!write_database_record(package, manifest)) return 1;
    commit(manifest, false);
    return 0;
  });
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(entry_files(P_DIR),
            "conflicts=x 0 0\n|deps=|enabled=user\n|files=flash/bin/old\n|"
            "provides=old 1 1 1\n|version=1 0\n|");
}

TEST_F(DatabaseWriterTest, PackagesKeptWholeAsImagesGetOnlyTheirMarkers) {
  for (const char* name : {"r", "s"}) {
    const std::string dir = std::string("/flash/var/pdb/") + name + "/";
    write_file(dir + "image", "package file");
    write_file(dir + "version", "old\n");
    write_file(dir + "disabled", "user\n");
    write_file(dir + "enabled", "user\n");
  }
  const RunResult run = run_in_root([] {
    Package part21("r");
    part21.has_part21 = true;
    Package flagged("s");
    flagged.header_flags = HEADER_NO_TEXT_DB | HEADER_BOOT_IMAGE;
    Manifest manifest;
    if (!write_database_record(part21, manifest) || !write_database_record(flagged, manifest)) {
      return 1;
    }
    commit(manifest, false);
    return 0;
  });
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(entry_files("/flash/var/pdb/r/"), "image=package file|version=old\n|");
  EXPECT_EQ(entry_files("/flash/var/pdb/s/"), "image=package file|version=old\n|");
}

TEST_F(DatabaseWriterTest, MarkersFollowDisableAndEnable) {
  write_file(P_DIR + "enabled", "user\n");
  const RunResult run = run_in_root([] {
    Package package("p");
    const auto step = [&package](void (*mark)(Package&, Manifest&), bool forced) {
      package.user_forced = forced;
      package.action = ACTION_DISABLE;
      Manifest manifest;
      mark(package, manifest);
      commit(manifest, false);
      std::cout << package.disabled << package.action << " " << dir_entries("/flash/var/pdb/p")
                << " " << file_text("/flash/var/pdb/p/disabled")
                << file_text("/flash/var/pdb/p/enabled");
    };
    step(mark_disabled, false);
    step(mark_enabled, false);
    step(mark_enabled, true);
    step(mark_disabled, true);
    return 0;
  });
  EXPECT_EQ(run.out,
            "10 disabled auto\n"
            "00  "
            "00 enabled user\n"
            "10 disabled user\n");
}

TEST_F(DatabaseWriterTest, FullDiskIsReportedAndNothingReachesAFinalPath) {
  require_mounts();
  ChildOptions options;
  options.mounts = {{"/ram", "8k"}, {"/flash", "4k"}};
  const RunResult run = run_in_root(
      [] {
        // No room on the flash sends every staged file to RAM, which holds two blocks.
        ::mkdir("/flash/var", 0755);
        ::mkdir("/flash/var/pdb", 0755);
        if (!put_file("/flash/filler", std::string(4096, 'f'))) return 1;
        Package package("p");
        package.version = make_version(1, 0, KIND_FINAL, 0);
        package.bundle = {"suite", make_version(2, 1, KIND_FINAL, 0), 0, 0};
        package.files = {"/flash/bin/p"};
        Manifest manifest;
        const bool written = write_database_record(package, manifest);
        std::cout << written << " [" << dir_entries("/flash/var/pdb") << "] "
                  << manifest.operations().size() << " ";
        for (const auto& [path, op] : manifest.operations()) {
          std::cout << (op.source.rfind("/ram/tmp", 0) == 0 && is_present(op.source));
        }
        cancel(manifest);
        std::cout << " [" << dir_entries("/ram") << "]\n";
        return 0;
      },
      options);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out,
            "ERROR: installation of suite-2.1 failed: disk is too small\n"
            "0 [] 4 1111 []\n");
}

TEST_F(DatabaseWriterTest, FailureMessagesNameTheCause) {
  write_file("/flash/var/pdb", "a file where the database belongs");
  const RunResult run = run_in_root([] {
    Package package("p");
    package.version = make_version(1, 0, KIND_FINAL, 0);
    Manifest manifest;
    std::cout << write_database_record(package, manifest) << "\n";
    errno = EIO;
    report_write_failure(package, "etc/x");
    errno = EACCES;
    report_write_failure(package, "etc/x");
    report_broken(package);
    return 0;
  });
  EXPECT_EQ(run.out,
            "ERROR: installation of p-1.0 failed: could not create meta/version: Not a directory\n"
            "0\n"
            "ERROR: installation of p-1.0 failed: disk error\n"
            "ERROR: installation of p-1.0 failed: could not create etc/x: Permission denied\n"
            "ERROR: installation of p-1.0 failed: broken package\n");
}

std::string list_text(const std::vector<Dependency>& list) {
  std::string text;
  for (const Dependency& entry : list) {
    text += " " + entry.name + ":" + std::to_string(entry.min) + ":" + std::to_string(entry.max) +
            ":" + std::to_string(entry.weight);
  }
  return text;
}

// Every field the database keeps, one line per record.
std::string record_text(const Package& package) {
  std::string text =
      package.name + " " + std::to_string(package.version) + " " +
      std::to_string(package.build_time) + " action=" + std::to_string(package.action) +
      " disabled=" + std::to_string(package.disabled) +
      " forced=" + std::to_string(package.user_forced) +
      " is_bundle=" + std::to_string(package.is_bundle) + " bundle=" + package.bundle.name + ":" +
      std::to_string(package.bundle.min) + " deps" + list_text(package.depends) + " provides" +
      list_text(package.provides) + " conflicts" + list_text(package.conflicts) + " files";
  for (const std::string& file : package.files) text += " " + file;
  return text + "\n";
}

std::vector<std::unique_ptr<Package>> sample_records() {
  std::vector<std::unique_ptr<Package>> records;
  auto full = std::make_unique<Package>("full");
  full->version = make_version(3, 20, KIND_RC, 2);
  full->build_time = 4294967294u;
  full->depends = {{"libc", 1, 4294967295u, 0}, {"zlib", 0, 0, 0}};
  full->provides = {{"net", 5, 6, -3}};
  full->conflicts = {{"old", 7, 0, 0}};
  full->files = {"/flash/lib/x.so", "/flash/bin/full"};
  full->disabled = true;
  records.push_back(std::move(full));
  auto bare = std::make_unique<Package>("bare");
  bare->version = 1;
  bare->is_bundle = true;
  bare->user_forced = true;
  records.push_back(std::move(bare));
  auto forced_off = std::make_unique<Package>("forced-off");
  forced_off->version = 2;
  forced_off->disabled = true;
  forced_off->user_forced = true;
  records.push_back(std::move(forced_off));
  auto member = std::make_unique<Package>("member");
  member->version = 3;
  member->bundle = {"suite", 9, 9, 0};
  records.push_back(std::move(member));
  return records;
}

TEST_F(DatabaseWriterTest, TheLoaderReadsBackTheWrittenRecords) {
  std::vector<std::string> expected;
  for (const auto& record : sample_records()) {
    // A bundle's member in text form keeps only the bundle's name, and is scheduled for
    // uninstall on loading.
    if (!record->bundle.name.empty()) {
      record->bundle.min = 0;
      record->action = ACTION_UNINSTALL;
    }
    expected.push_back(record_text(*record));
  }
  std::sort(expected.begin(), expected.end());
  const RunResult run = run_in_root([] {
    Manifest manifest;
    for (const auto& record : sample_records()) {
      if (!write_database_record(*record, manifest)) return 1;
    }
    commit(manifest, false);
    Repository& repository = Repository::instance();
    open_repository(repository, true, "i386");
    std::vector<std::string> lines;
    for (const auto& package : repository.packages) lines.push_back(record_text(*package));
    std::sort(lines.begin(), lines.end());
    for (const std::string& line : lines) std::cout << line;
    return 0;
  });
  EXPECT_EQ(run.status, 0);
  std::string expected_text;
  for (const std::string& line : expected) expected_text += line;
  EXPECT_EQ(run.out, expected_text);
}

}  // namespace
