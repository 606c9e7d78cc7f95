// Whole stream-mode ("-") and cleanup runs in a throwaway root.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iostream>
#include <random>

#include "installer/stream_install.h"
#include "testing/test_files.h"
#include "testing/test_packages.h"
#include "testing/whole_run.h"

namespace {

const Version V1 = make_version(1, 0, KIND_FINAL, 0);
const Version V2 = make_version(2, 0, KIND_FINAL, 0);

class StreamRun : public WholeRun {
 protected:
  void SetUp() override {
    WholeRun::SetUp();
    if (!IsSkipped()) SKIP_WITHOUT_SIGNING_KEYS();
    make_dirs("/flash/var/pdb");
  }
};

// Random bytes, which do not compress.
std::string noise(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = char(random());
  return bytes;
}

ChildOptions on_flash_of(const std::string& size, const std::string& input) {
  ChildOptions options;
  options.mounts = {{"/flash", size}};
  options.stdin_data = input;
  return options;
}

// A tmpfs flash starts empty.
void make_pdb() {
  ::mkdir("/flash/var", 0755);
  ::mkdir("/flash/var/pdb", 0755);
}

TEST_F(StreamRun, KeepsTheImageOnlyInTheDatabaseOfAPackageWithAnImagePart) {
  TestPackage kept = test_package("kept", V1);
  kept.image = "image part";
  kept.files = {file_entry("etc/kept", "k")};
  const std::string bytes = package_bytes(kept);
  ChildOptions piped;
  piped.stdin_pipe = true;
  const RunResult run = stream(bytes, {}, piped);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(read_file("/flash/var/pdb/kept/image"), bytes);
  EXPECT_EQ(postlog(), "installed kept-1.0\n");
  EXPECT_FALSE(exists("/flash/PCKGS_CHANGED"));  // an upgrade-mode marker only

  // A package without one keeps no copy anywhere.
  const RunResult plain = stream(package_bytes(test_package("plain", V1)));
  EXPECT_EQ(plain.status, 0);
  EXPECT_EQ(tree("/flash/var/pdb"),
            "/flash/var/pdb/kept/\n/flash/var/pdb/kept/image=" + bytes.substr(0, 64) +
                "...\n"
                "/flash/var/pdb/plain/\n/flash/var/pdb/plain/deps=\n/flash/var/pdb/plain/files=\n"
                "/flash/var/pdb/plain/version=16803328 1\n\n");
}

TEST_F(StreamRun, OnlyAFileInstalledAnewIsKept) {
  TestPackage kept = test_package("kept", V1);
  kept.image = std::string(20000, 'i');
  kept.group.header_flags = HEADER_BOOT_IMAGE;
  kept.files = {file_entry("boot/kernel", "k")};
  const std::string bytes = package_bytes(kept);
  ChildOptions boot;
  boot.env = {{"bootimage", "1"}};
  ASSERT_EQ(stream(bytes, {}, boot).status, 0);
  // A boot image is kept whole at the boot image, which its database entry points to.
  EXPECT_EQ(tree("/flash"),
            "/flash/UPGRADED=\n/flash/bootimage=" + bytes.substr(0, 64) +
                "...\n"
                "/flash/postlog=installed kept-1.0\n\n/flash/var/\n/flash/var/pdb/\n"
                "/flash/var/pdb/kept/\n/flash/var/pdb/kept/image -> /flash/bootimage\n");
  remove("/flash/postlog");
  const std::string before = tree("/flash");
  // The same version again, whole or cut short, with or without --reinstall: nothing of it
  // replaces the verified image.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, std::vector<std::string>{"--reinstall"}}) {
    for (const std::string& offered : {bytes, bytes.substr(0, 300)}) {
      remove("/flash/postlog");
      EXPECT_EQ(stream(offered, args, boot).status, 0);
      remove("/flash/postlog");
      EXPECT_EQ(tree("/flash"), before);
      EXPECT_EQ(read_file("/flash/bootimage"), bytes);
    }
  }
  // So for upgrade mode, where a cut after the commit's last rename leaves the download:
  // the same version is consumed, and what it brought stays as it is.
  for (const char* reinstall : {"-q", "--reinstall"}) {
    write_file("/rw/pckg/.download/kept.vmp", bytes);
    EXPECT_EQ(run_installer({reinstall}, boot).status, 0) << reinstall;
    EXPECT_FALSE(exists("/rw/pckg/.download/kept.vmp")) << reinstall;
    remove("/flash/postlog");
    remove("/flash/PCKGS_CHANGED");
    EXPECT_EQ(tree("/flash"), before) << reinstall;
  }
}

TEST_F(StreamRun, ACopyThatCannotBeWrittenOrPlacedFailsOrLeavesNothing) {
  require_mounts();
  TestPackage big = test_package("big", V1);
  big.image = "image part";
  big.files = {file_entry("noise", noise(200000, 7))};
  const std::string bytes = package_bytes(big);
  const RunResult full = run_in_root(
      [] {
        make_pdb();
        const int status = enter_installer({"-"});
        std::cout << "\n[" << dir_entries("/flash") << "][" << dir_entries("/flash/var/pdb") << "]";
        return status;
      },
      on_flash_of("128k", bytes));
  EXPECT_EQ(full.status, 1);
  EXPECT_NE(full.out.find("ERROR: could not write image: No space left on device\n"),
            std::string::npos)
      << full.out;
  EXPECT_NE(full.out.find("\n[.staging,postlog,var][]"), std::string::npos) << full.out;

  // A directory where the image belongs: the commit cannot place it, and says so. The copy
  // stays staged until the next run.
  make_dirs("/flash/var/pdb/big/image/sub");
  const RunResult blocked = stream(bytes);
  EXPECT_EQ(blocked.status, 1);
  EXPECT_NE(blocked.out.find("ERROR: can not commit: Is a directory\n"), std::string::npos)
      << blocked.out << blocked.err;
  EXPECT_EQ(dir_entries(host_path("/flash/var/pdb")), "big");
  EXPECT_EQ(dir_entries(host_path("/ram")), "");
  EXPECT_EQ(run_installer({"-q", "--cleanup"}).status, 0);
  EXPECT_EQ(dir_entries(host_path("/.staging")), "");
}

TEST_F(StreamRun, AFailedInstallLeavesTheFlashAsItWasWithItsResultAsStatus) {
  const RunResult first = stream(package_bytes(test_package("p", V2)));
  ASSERT_EQ(first.status, 0);
  remove("/flash/postlog");
  const std::string before = tree("/");
  TestPackage unsigned_package = test_package("p", make_version(3, 0, KIND_FINAL, 0));
  unsigned_package.level = 0;
  unsigned_package.image = "x";
  TestPackage unsigned_member = test_package("p", V1);
  unsigned_member.level = 0;
  const struct {
    const char* name;
    std::string bytes;
    int status;
    const char* message;
  } cases[] = {
      {"unsigned", package_bytes(unsigned_package), 1,
       "ERROR: installation of p-3.0 failed: broken package\n"},
      {"older", package_bytes(test_package("p", V1)), 1,
       "WARNING: omitting package p-1.0: newer package p-2.0 is already installed\n"},
      {"garbage", "garbage", 1, ""},
      {"bundle without members", bundle_bytes(header_group("suite", V1), {}), 3, ""},
      // A bundle header named like an installed package of its own stands for nothing.
      {"bundle named p", bundle_bytes(header_group("p", V1), {test_package("m", V1)}), 1,
       "ERROR: installation of p-1.0 failed: broken package\n"},
      // A member passed over (older than p-2.0) is checked all the same.
      {"older unsigned member", bundle_bytes(header_group("s", V1), {unsigned_member}), 2,
       "ERROR: installation of s-1.0 failed: broken package\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    remove("/flash/postlog");
    EXPECT_EQ(stream(c.bytes).status, c.status);
    EXPECT_EQ(postlog(), c.message);
    remove("/flash/postlog");
    EXPECT_EQ(tree("/"), before);
  }
}

// On a flash too small, nothing is left of a cancelled install: no file placed, none staged.
TEST_F(StreamRun, AnInstallThatDoesNotFitIsCancelledUnlessReinstalling) {
  require_mounts();
  TestPackage big = test_package("big", V1);
  big.files = {file_entry("big", std::string(300000, '\0'))};  // compresses to little
  const std::string random = noise(1 << 20, 3);
  TestPackage p = test_package("p", V1);
  // The first file is staged on the flash; the second, once the copy has grown, in /ram.
  p.files = {file_entry("a/first", random.substr(0, 128 << 10)), file_entry("b/second", random)};
  const std::string cancelled = "ERROR: not enough space for upgrade\n";
  const struct {
    const char* name;
    std::string bytes;
    const char* flash;
    std::vector<std::string> args;
    int status;
    std::string message;
  } cases[] = {
      {"too big", package_bytes(big), "128k", {"-"}, 28, cancelled},
      // Not checked: the copy that does not fit fails the commit.
      {"too big, reinstalled",
       package_bytes(big),
       "128k",
       {"--reinstall", "-"},
       1,
       "ERROR: can not commit: No space left on device\n"},
      // A package that keeps no copy of itself still has one on the flash while the space
      // check runs, and the check counts it: the copy goes only once the check passed. Room
      // for the copy and the first file (1.28 MiB), too little for the second beside them.
      {"the copy counts", package_bytes(p), "1340k", {"-"}, 28, cancelled},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const RunResult run = run_in_root(
        [&c] {
          make_pdb();
          const int status = enter_installer(c.args);
          std::cout << "\nbig=" << file_text("/flash/big").size()
                    << " first=" << is_present("/flash/a/first")
                    << " staged=" << dir_entries("/flash/.staging");
          return status;
        },
        on_flash_of(c.flash, c.bytes));
    EXPECT_EQ(run.status, c.status);
    EXPECT_NE(run.out.find(c.message), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\nbig=0 first=0 staged="), std::string::npos) << run.out;
  }
}

TEST_F(StreamRun, TheCopyIsNeverWrittenThroughALinkOrIntoAFile) {
  write_file("/flash/etc/passwd", "root");
  const std::string bytes = package_bytes(test_package("p", V1));
  const std::string staging = host_path("/.staging");
  for (const char* kind : {"symlink", "file"}) {
    if (std::string(kind) == "symlink") {
      ASSERT_EQ(::symlink("/flash/etc", staging.c_str()), 0);
    } else {
      write_file("/.staging", "not a directory");
    }
    const RunResult run = stream(bytes, {"-q"});
    EXPECT_EQ(run.status, 255) << kind;
    EXPECT_EQ(run.out, "ERROR: could not open image\n") << kind;
    EXPECT_EQ(dir_entries(host_path("/flash/etc")), "passwd") << kind;
    EXPECT_FALSE(exists("/flash/postlog")) << kind;
    ::unlink(staging.c_str());
  }
}

using CleanupRun = WholeRun;

TEST_F(CleanupRun, RemovesEveryPackageNotMadeForThisSystem) {
  const std::pair<const char*, const char*> entries[] = {
      {"system", ""},
      {"tarn", ""},
      {"disk-drivers", ""},
      {"old", ""},
      {"older", "system 51799551 0\n"},  // below 3.22 final: still too old
      {"new", "system 51799552 0\n"},    // 3.22 final
  };
  for (const auto& [name, deps] : entries) {
    // The system is new enough for what needs it.
    write_file(std::string("/flash/var/pdb/") + name + "/version",
               std::string(name) == "system" ? "117440512 1\n" : "16803328 1\n");
    write_file(std::string("/flash/var/pdb/") + name + "/deps", deps);
    write_file(std::string("/flash/var/pdb/") + name + "/files", std::string(name) + "\n");
    write_file(std::string("/flash/") + name, name);
  }
  // A bundle kept as its image, with a member made for this system.
  TestPackage member = test_package("member", V1);
  member.group.depends = std::vector<Dependency>{{"system", 51799552, 0, 0}};
  write_file("/flash/var/pdb/suite/image", bundle_bytes(header_group("suite", V1), {member}));
  const RunResult run = run_installer({"--cleanup"});
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(exists("/flash/var/pdb/suite/image"));
  EXPECT_EQ(tree("/flash/var/pdb").find("/old"), std::string::npos);
  for (const char* gone : {"/flash/old", "/flash/older", "/flash/var/pdb/old"}) {
    EXPECT_FALSE(exists(gone)) << gone;
  }
  for (const char* kept : {"/flash/system", "/flash/tarn", "/flash/disk-drivers", "/flash/new"}) {
    EXPECT_TRUE(exists(kept)) << kept;
  }
  EXPECT_FALSE(exists("/flash/postlog") || exists("/flash/PCKGS_CHANGED"));
}

}  // namespace
