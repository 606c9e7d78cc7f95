// Whole stream-mode ("-") and cleanup runs in a throwaway root, many of them on hostile input.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iostream>

#include "format/package_reader.h"
#include "installer/stream_install.h"
#include "testing/test_packages.h"
#include "testing/whole_run.h"

namespace {

using StreamRun = SignedRun;

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

// On a flash too small, nothing is left of a failed or cancelled install: no file placed.
TEST_F(StreamRun, AnInstallThatDoesNotFitFailsOrIsCancelledUnlessReinstalling) {
  require_mounts();
  TestPackage image = test_package("image", V1);
  image.image = "image part";
  image.files = {file_entry("noise", noise(200000, 7))};
  TestPackage big = test_package("big", V1);
  big.files = {file_entry("big", std::string(300000, '\0'))};  // compresses to little
  const std::string random = noise(1 << 20, 3);
  TestPackage p = test_package("p", V1);
  // The first file is staged on the flash; the second, once the copy has grown, in /ram.
  p.files = {file_entry("a/first", random.substr(0, 128 << 10)), file_entry("b/second", random)};
  const char* const cancelled = "ERROR: not enough space for upgrade\n";
  const struct {
    const char* name;
    std::string bytes;
    const char* flash;
    bool reinstall;
    int status;
    const char* message;
  } cases[] = {
      {"the copy", package_bytes(image), "128k", false, 1,
       "ERROR: could not write image: No space left on device\n"},
      {"too big", package_bytes(big), "128k", false, 28, cancelled},
      // Not checked: the copy that does not fit fails the commit.
      {"too big, reinstalled", package_bytes(big), "128k", true, 1,
       "ERROR: can not commit: No space left on device\n"},
      // A package that keeps no copy of itself still has one on the flash while the space
      // check runs, and the check counts it: the copy goes only once the check passed. Room
      // for the copy and the first file (1.28 MiB), too little for the second beside them.
      {"the copy counts", package_bytes(p), "1340k", false, 28, cancelled},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ChildOptions options;
    options.mounts = {{"/flash", c.flash}};
    options.stdin_data = c.bytes;
    const RunResult run = run_in_root(
        [&c] {
          ::mkdir("/flash/var", 0755);  // a tmpfs flash starts empty
          ::mkdir("/flash/var/pdb", 0755);
          const int status =
              enter_installer(c.reinstall ? std::vector<std::string>{"--reinstall", "-"}
                                          : std::vector<std::string>{"-"});
          std::cout << "\n[" << dir_entries("/flash") << "][" << dir_entries("/flash/var/pdb")
                    << "]";
          return status;
        },
        options);
    EXPECT_EQ(run.status, c.status);
    EXPECT_NE(run.out.find(c.message), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\n[.staging,postlog,var][]"), std::string::npos) << run.out;
  }
}

// Hand-made hostile input: bytes past the container, or too few of them.
using HostileRun = SignedRun;

TEST_F(HostileRun, StreamModeReadsExactlyTheContainer) {
  TestPackage kept = with_files("image", V1, {"etc/image"});  // the name stream mode once used
  kept.image = "image part";
  const std::string bytes = package_bytes(kept);
  std::string shorter = bytes;
  shorter[4] = char(shorter[4] - 1);  // the container ends a byte before the source
  const std::pair<std::string, int> cases[] = {
      {bytes + std::string(100000, 'x'), 0}, {bytes.substr(0, bytes.size() - 1), 1}, {shorter, 1}};
  for (const auto& [offered, status] : cases) {
    SCOPED_TRACE(std::to_string(offered.size()) + " bytes offered");
    install_first({});
    // Through a pipe, a source that cannot seek, fed by a process of its own.
    const RunResult run = run_in_root([&offered = offered] {
      int feed[2];
      if (::pipe(feed) != 0) return 99;
      if (::fork() == 0) {
        ::close(feed[0]);
        ::_exit(::write(feed[1], offered.data(), offered.size()) < 0);
      }
      ::close(feed[1]);
      ::dup2(feed[0], 0);
      return enter_installer({"-"});
    });
    EXPECT_EQ(run.status, status);
    EXPECT_EQ(read_file("/flash/var/pdb/image/image"), status == 0 ? bytes : "");
  }
  // Stream mode's copy never collides with the database entry of a package named "image",
  // and one without an image part keeps no copy.
  EXPECT_EQ(stream(bytes).status, 0);
  EXPECT_EQ(stream(package_bytes(with_files("next", V1, {"etc/next"}))).status, 0);
  EXPECT_EQ(loaded_records(), "image-1.0\nnext-1.0\n");
  EXPECT_EQ(dir_entries(host_path("/flash/var/pdb/next")), "deps,files,version");
}

}  // namespace
