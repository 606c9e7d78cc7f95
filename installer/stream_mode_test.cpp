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
  EXPECT_EQ(run_installer({"--cleanup"}).status, 0);
  // No post log, no marker.
  EXPECT_EQ(dir_entries(host_path("/flash")), "disk-drivers,new,system,tarn,var");
  EXPECT_EQ(dir_entries(host_path("/flash/var/pdb")), "disk-drivers,new,suite,system,tarn");
  EXPECT_TRUE(exists("/flash/var/pdb/suite/image"));
}

// Hand-made hostile packages and database states: signed members wrapped in unsigned bundle
// parts, strays between members, bytes past the container, links out of the flash, files two
// packages share. Nothing unsigned may remove, replace or hide a package.
using HostileRun = SignedRun;

TEST_F(HostileRun, UnsignedListsAreBounded) {
  std::vector<std::string> too_many = {"a"};
  for (size_t i = 0; i < MAX_BUNDLE_MEMBERS; ++i) too_many.push_back("n" + std::to_string(i));
  struct Case {
    std::vector<std::string> listed, members;
    int status;
    size_t provides = 0;  // entries of each member's provides list
  };
  const Case cases[] = {
      {std::vector<std::string>(65535, "a"), {"a"}, 0},  // one name, many times: noted once
      {too_many, {"a"}, 2},
      {{}, too_many, 2},
      {{}, {"a", "b", "a"}, 2},
      {{"a"}, {"a"}, 0, MAX_LIST_ENTRIES},
      {{"a"}, {"a"}, 2, MAX_LIST_ENTRIES + 1},
  };
  for (const Case& c : cases) {
    std::vector<TestPackage> members;
    for (const std::string& name : c.members) {
      members.push_back(test_package(name, V1));
      members.back().archive = false;
      members.back().group.header_flags = HEADER_NO_TEXT_DB;  // nothing staged: a quick test
      members.back().group.provides = std::vector<Dependency>(c.provides, {"cap", 0, 0, 0});
    }
    // A member header that cannot be read is refused without a word, as any broken header.
    const std::string log = c.status == 0 ? "installed s-1.0\n"
                            : c.provides != 0
                                ? ""
                                : "ERROR: installation of s-1.0 failed: broken package\n";
    run_scenario(std::to_string(c.listed.size()) + " listed, " + std::to_string(c.members.size()) +
                     " members, provides " + std::to_string(c.provides),
                 {}, {}, bundle_bytes(header_group("s", V1), members, c.listed), c.status, log,
                 c.status == 0 ? "a-1.0 disabled from s\ns-1.0\n" : "");
  }
}

TEST_F(HostileRun, RemovalStaysInsideTheFlashAndSparesFilesOthersList) {
  // Paths whose survival each case tells, by their short names.
  const std::pair<const char*, const char*> checked[] = {{"/rw/etc/a", "rw"},
                                                         {"/flash/var/a", "var"},
                                                         {"/flash/etc/shared", "shared"},
                                                         {"/flash/var/pdb/keep/version", "keep"}};
  const struct {
    const char* link;  // made at this path, to `to`
    std::string a_files, b_files, uninstalled, left;
    const char* to = "/rw/etc";
  } cases[] = {
      {"/flash/etc", "etc/a\nvar/a\n", "", "a", "rw keep"},
      {"/flash/etc/in", "etc/in/a\nvar/a\n", "", "a", "rw shared keep"},
      {nullptr, "etc/shared\nvar/a\n", "etc/shared\n", "a", "rw shared keep"},
      {nullptr, "etc/shared\nvar/a\n", "etc/shared\n", "b", "rw var shared keep"},
      {nullptr, "etc/shared\nvar/a\n", "etc/shared\n", "a b", "rw keep"},
      {nullptr, "var/pdb/keep/version\nvar/./pdb/keep/version\nvar//pdb/keep/version\nvar/a\n", "",
       "a", "rw shared keep"},
      {"/flash/etc/db", "etc/db/keep/version\nvar/a\n", "", "a", "rw shared keep",
       "/flash/var/pdb"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("case " + std::to_string(&c - cases));
    install_first({});
    write_file("/rw/etc/a", "a");
    if (c.link == nullptr || std::string(c.link) != "/flash/etc") {
      write_file("/flash/etc/shared", "shared");
    }
    if (c.link != nullptr) ::symlink(c.to, host_path(c.link).c_str());
    write_file("/flash/var/a", "a");
    // Database entries as a damaged or hostile flash may hold them.
    for (const auto& [name, files] : {std::pair{"a", c.a_files}, {"b", c.b_files}, {"keep", ""}}) {
      write_file(std::string("/flash/var/pdb/") + name + "/version", std::to_string(V1) + " 1\n");
      write_file(std::string("/flash/var/pdb/") + name + "/files", files);
    }
    for (const char* name : {"a", "b"}) {
      if (c.uninstalled.find(name) != std::string::npos) {
        write_file(std::string("/ram/pdb/") + name + "/schedule", "uninstall\n");
      }
    }
    EXPECT_EQ(run_installer({}).status, 0);
    std::string left;
    for (const auto& [path, name] : checked) {
      if (exists(path)) left += (left.empty() ? "" : " ") + std::string(name);
    }
    EXPECT_EQ(left, c.left);
  }
}

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
