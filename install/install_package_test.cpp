#include "install/install_package.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <iostream>
#include <sstream>
#include <tuple>

#include "format/package_reader.h"
#include "format/part_stream.h"
#include "install/remove_package.h"
#include "package/console.h"
#include "package/repository.h"
#include "testing/fake_board.h"
#include "testing/root_fixture.h"
#include "testing/test_packages.h"
#include "transaction/background_flush.h"
#include "transaction/commit.h"
#include "transaction/manifest.h"

namespace {

const Version V1 = make_version(1, 0, KIND_FINAL, 0);
const std::string EMPTY_ROOT = "/flash/\n/ram/\n/rw/\n/tmp/\n";

// Package "p" 1.0 with `files`.
std::string p_with(const std::vector<ArchiveEntry>& files) {
  TestPackage p = test_package("p", V1);
  p.files = files;
  return package_bytes(p);
}

struct InstallSetup {
  bool disabled = false;
  std::string bundle;  // installs as a member of this bundle
  ChildOptions child;
  std::function<void(Manifest&)> before;  // stages something first
  std::function<void(Manifest&)> after;   // looks at what the install staged
  bool commit = true;                     // else the transaction is cancelled in any case
};

class InstallTest : public RootFixture {
 protected:
  void SetUp() override {
    RootFixture::SetUp();
    if (!IsSkipped()) SKIP_WITHOUT_SIGNING_KEYS();
  }

  // Installs `bytes` as install planning would (header read, state chosen), commits on
  // success and cancels on failure. Answers the kept messages and the result, one per line.
  std::string install(const std::string& bytes, const InstallSetup& setup = {}) {
    const RunResult run = run_in_root(
        [&] {
          std::istringstream in(bytes);
          PartStream stream(in, true);
          stream.accepted_types = {1, 18, 20, 16, 3, 19, 17, 21, 4, 9};
          stream.next_part();
          Package package;
          if (!read_header(package, stream)) return 3;
          package.disabled = setup.disabled;
          package.bundle.name = setup.bundle;
          Console console(std::cout);
          Manifest manifest;
          if (setup.before) setup.before(manifest);
          const bool installed = install_package(console, package, manifest, stream);
          if (setup.after) setup.after(manifest);
          if (installed && setup.commit && commit(manifest, false).error != 0) return 4;
          if (!installed || !setup.commit) cancel(manifest);
          for (const std::string& message : console.messages) {
            std::cerr << message << "\n";
          }
          std::cerr << "result=" << installed << " files=";
          for (const std::string& file : package.files) std::cerr << file << ",";
          std::cerr << "\n";
          return 0;
        },
        setup.child);
    EXPECT_EQ(run.status, 0);
    console = run.out;
    return run.err;
  }

  std::string console;  // what the last install printed, status lines and all
};

// Enabled packages are installed by every other test here.
TEST_F(InstallTest, ADisabledPackageGetsOnlyItsRegularFilesForThisProcessorInAFolderOfItsOwn) {
  FakeBoard board;         // the child asks it too
  board.pvr = 0x00830000;  // family 1
  TestPackage q = test_package("q", V1);
  q.files = {
      {040755, 0, "dir/", "data of a directory", ""},
      {040755, 0, ".", "", ""},
      {0120777, 0, "link", "target", ""},
      file_entry("other-cpu", "x", 0644, 3),
      file_entry("./etc//x", "qx", 0644, 1),
      file_entry("/bin/tool", "#!", 0755, 0),
      {0, 0, "no-type", "z", ""},
      file_entry("after", "intact"),
  };
  q.trailer = true;
  InstallSetup disabled;
  disabled.disabled = true;
  EXPECT_EQ(install(package_bytes(q), disabled),
            "installed (disabled) q-1.0\nresult=1 files=/x/q/after,/x/q/bin/tool,/x/q/etc/x,\n");
  EXPECT_NE(console.find("installing  (disabled) q-1.0 ["), std::string::npos);
  EXPECT_EQ(tree("/flash"),
            "/flash/var/\n/flash/var/pdb/\n/flash/var/pdb/q/\n/flash/var/pdb/q/deps=\n"
            "/flash/var/pdb/q/disabled=auto\n\n/flash/var/pdb/q/files=x/q/after\nx/q/bin/tool\n"
            "x/q/etc/x\n\n/flash/var/pdb/q/version=16803328 1\n\n/flash/x/\n/flash/x/q/\n"
            "/flash/x/q/after=intact\n/flash/x/q/bin/\n/flash/x/q/bin/tool=#! mode=0755\n"
            "/flash/x/q/etc/\n/flash/x/q/etc/x=qx\n");
}

TEST_F(InstallTest, AnArchiveMayEndOnlyBetweenEntriesOrInsideAHeader) {
  const ArchiveEntry first = file_entry("first", "1111");
  const std::string whole = encode_entry_header(first, 4) + "1111";
  const std::string second = encode_entry_header(file_entry("second", ""), 6) + "222222";
  // The bytes of the second entry kept, and the log.
  const std::pair<size_t, const char*> cuts[] = {
      {0, "installed p-1.0\nresult=1 files=/first,\n"},
      {29, "installed p-1.0\nresult=1 files=/first,\n"},
      {33, "ERROR: installation of p-1.0 failed: broken package\nresult=0 files=/first,\n"},
      {38, "ERROR: installation of p-1.0 failed: broken package\nresult=0 files=/first,/second,\n"},
      {42, "installed p-1.0\nresult=1 files=/first,/second,\n"},
  };
  for (const auto& [keep, log] : cuts) {
    TestPackage p = test_package("p", V1);
    p.raw_archive = whole + second.substr(0, keep);
    EXPECT_EQ(install(package_bytes(p)), log) << keep;
    // A failed install leaves nothing behind, not even in RAM.
    if (log[0] == 'E') {
      EXPECT_EQ(tree("/"), EMPTY_ROOT);
    }
    reset_root();
  }
}

TEST_F(InstallTest, HostileEntryNamesAreRefusedBeforeAnythingOfThemIsStaged) {
  const std::string names[] = {"",     "..",  "../x", "a/../../x", "a/..",  "/..",
                               "a\nb", "a b", "a\tb", "a\x01",     "a\x7f", std::string("a\0b", 3),
                               "/",    "///", "etc/", "etc/.",     "."};
  for (const std::string& name : names) {
    TestPackage p = test_package("p", V1);
    p.raw_archive = encode_entry_header(file_entry("ok", ""), 2) + "ok" +
                    encode_entry_header(file_entry(name, ""), 4) + "evil";
    EXPECT_EQ(install(package_bytes(p)),
              "ERROR: installation of p-1.0 failed: broken package\nresult=0 files=/ok,\n")
        << name;
    EXPECT_EQ(tree("/"), EMPTY_ROOT) << name;
  }
  for (const char* name : {"./etc/x", "a//b", "...", "..x/y", "\xc3\xa9"}) {
    EXPECT_TRUE(is_safe_entry_name(name)) << name;
  }
  // Files that cannot be placed: in the database, too long a name, out through a link on
  // the flash, whatever came before it.
  make_dirs("/outside");
  make_dirs("/flash2");  // beside the flash, and named as if it began inside it
  ASSERT_EQ(::symlink("../outside", host_path("/flash/out").c_str()), 0);
  ASSERT_EQ(::symlink("../flash2", host_path("/flash/near").c_str()), 0);
  const std::string links = "/flash/near -> ../flash2\n/flash/out -> ../outside\n";
  const std::string long_name(NAME_MAX + 1, 'n');
  const std::pair<std::vector<ArchiveEntry>, std::string> refused[] = {
      {{file_entry("var/pdb/q/files", "x")}, "broken package"},
      {{file_entry("./var//pdb", "x")}, "broken package"},
      {{file_entry(long_name + "/f", "x")}, "could not create " + long_name.substr(0, 200)},
      {{file_entry("out/f", "x")}, "could not create out/f: Operation not permitted"},
      {{file_entry("near/f", "x")}, "could not create near/f: Operation not permitted"},
      {{file_entry("top", "t"), file_entry("out/f", "x")}, "could not create out/"},
      {{file_entry("a/x", "x"), file_entry("a/y", "y"), file_entry("out/f", "x")},
       "could not create out/"},
      {{file_entry("a/x", "x"), file_entry("out/deeper/f", "x")}, "could not create out/"},
  };
  for (const auto& [files, message] : refused) {
    std::string names;
    for (const ArchiveEntry& file : files) names += file.name + " ";
    SCOPED_TRACE(names);
    const std::string log = install(p_with(files));
    EXPECT_EQ(log.rfind("ERROR: installation of p-1.0 failed: " + message, 0), 0u) << log;
    EXPECT_EQ(tree("/flash"), links);
    EXPECT_EQ(tree("/outside") + tree("/flash2"), "");
  }
  // A link entry is never made: a file below its name stays on the flash.
  EXPECT_EQ(install(p_with({{0120777, 0, "evil", "/outside", ""}, file_entry("evil/f", "inside")})),
            "installed p-1.0\nresult=1 files=/evil/f,\n");
  EXPECT_EQ(read_file("/flash/evil/f"), "inside");
  EXPECT_EQ(tree("/outside"), "");
  // The longest name a directory can hold is no problem.
  const std::string longest(NAME_MAX, 'n');
  EXPECT_EQ(install(p_with({file_entry(longest + "/f", "x")})),
            "installed p-1.0\nresult=1 files=/" + longest + "/f,\n");
}

// "system" 0x062F0000 needs a level-1 signature, 0x062E6609 one of level 2.
TEST_F(InstallTest, StagedFilesGetTheirModesOnlyOnceTheRequiredSignatureIsVerified) {
  TestPackage p = test_package("p", V1);
  p.files = {file_entry("bin/su", "s", 04755),      file_entry("bin/tool", "t", 0755),
             file_entry("etc/conf", "c", 0640),     file_entry("tmp", "d", 01777),
             file_entry("bin/dup", "first", 04755), file_entry("bin/dup", "last", 0600)};
  InstallSetup look;
  look.commit = false;
  look.after = [](Manifest& manifest) {
    for (const auto& [path, op] : manifest.operations()) {
      struct stat info;
      if (op.kind == ManifestKind::staged && ::stat(op.source.c_str(), &info) == 0) {
        std::cerr << path << " " << std::oct << (info.st_mode & 07777) << std::dec << "\n";
      }
    }
  };
  const std::string files = "files=/bin/dup,/bin/su,/bin/tool,/etc/conf,/tmp,\n";
  // Name, version, signature level, bytes cut off the end, and whether it installs.
  const std::tuple<const char*, Version, int, size_t, bool> rows[] = {
      {"p", V1, 2, 0, true},
      {"p", V1, 0, 0, false},
      {"p", V1, 2, 10, false},
      {"system", 0x062F0000, 1, 0, true},
      {"system", 0x062E6609, 1, 0, false}};
  for (const auto& [group, version, level, cut, installs] : rows) {
    const std::string name = group + ("-" + version_text(version));
    SCOPED_TRACE(name + " level " + std::to_string(level) + " cut " + std::to_string(cut));
    p.group.name = group;
    p.group.version = version;
    p.level = level;
    std::string bytes = package_bytes(p);
    bytes.resize(bytes.size() - cut);
    const std::string db = "/flash/var/pdb/" + std::string(group) + "/";
    EXPECT_EQ(install(bytes, look),
              installs ? "/flash/bin/dup 600\n/flash/bin/su 4755\n/flash/bin/tool 755\n"
                         "/flash/etc/conf 640\n/flash/tmp 1777\n" +
                             db + "deps 600\n" + db + "files 600\n" + db + "version 600\n" +
                             "installed " + name + "\nresult=1 " + files
                       : "/flash/bin/dup 600\n/flash/bin/su 600\n/flash/bin/tool 600\n"
                         "/flash/etc/conf 600\n/flash/tmp 600\nERROR: installation of " +
                             name + " failed: broken package\nresult=0 " + files);
  }
  EXPECT_EQ(tree("/"), EMPTY_ROOT);
}

TEST_F(InstallTest, OnlyTheAllowedTrailerMayFollowAPackageOfItsOwn) {
  const std::string good = package_bytes(test_package("p", V1));
  const std::string broken =
      "ERROR: installation of p-1.0 failed: broken package\nresult=0 files=\n";
  const std::pair<std::vector<std::pair<uint16_t, std::string>>, bool> trailers[] = {
      {{}, true},
      {{{PART_ARCHITECTURE, "x"}}, true},
      {{{PART_DEPENDS, ""}}, true},
      {{{PART_ARCHITECTURE, "x"}, {PART_DEPENDS, ""}}, true},
      {{{PART_DEPENDS, std::string(2, '\0')}}, false},
      {{{PART_DEPENDS, ""}, {PART_ARCHITECTURE, "x"}}, false},
      {{{PART_SIGNATURE, ""}}, false},
      {{{7, "foreign"}}, true},  // not an accepted type: passed unseen
  };
  for (const auto& [parts, allowed] : trailers) {
    PackageWriter tail;
    for (const auto& [type, payload] : parts) tail.add_part(type, payload);
    const std::string bytes = with_mended_length(good + written(tail).substr(8));
    EXPECT_EQ(install(bytes), allowed ? "installed p-1.0\nresult=1 files=\n" : broken);
    // A bundle member leaves the rest to the next member and prints no "installed" line.
    InstallSetup member;
    member.bundle = "suite";
    EXPECT_EQ(install(bytes, member), "result=1 files=\n");
    reset_root();
  }
}

TEST_F(InstallTest, ImagePartsBootImagesAndUnrecordedPackages) {
  TestPackage p = test_package("system", 0x07106600);
  p.group.header_flags = HEADER_BOOT_IMAGE;
  p.image = std::string(10000, 'i');
  p.files = {file_entry("boot/kernel", "k")};
  const std::string bytes = package_bytes(p);
  EXPECT_EQ(install(bytes), "installed system-7.16\nresult=1 files=/boot/kernel,\n");
  EXPECT_EQ(read_file("/flash/UPGRADED"), "");
  EXPECT_TRUE(exists("/flash/boot/kernel"));
  reset_root();

  // With "bootimage" set the system image is kept whole: no files, but still the signature.
  InstallSetup keep;
  keep.child.env = {{"bootimage", ""}};
  EXPECT_EQ(install(bytes, keep), "installed system-7.16\nresult=1 files=\n");
  // Kept whole as its image, it has no text files in the database.
  EXPECT_EQ(tree("/flash"), "/flash/UPGRADED=\n");
  reset_root();
  p.level = 0;
  EXPECT_EQ(install(package_bytes(p), keep),
            "ERROR: installation of system-7.16 failed: broken package\nresult=0 files=\n");
  EXPECT_EQ(tree("/"), EMPTY_ROOT);

  // An unrecorded package writes no database record and never looks at its directory: only
  // a recorded one fails, silently, while another operation is pending for it, and with a
  // message where a link stands for it, which is not written through.
  TestPackage u = test_package("u", V1);
  u.files = {file_entry("etc/u", "u")};
  const std::string unrecorded = package_bytes(u, UNRECORDED_MAGIC);
  EXPECT_EQ(install(unrecorded), "installed u-1.0\nresult=1 files=/etc/u,\n");
  EXPECT_EQ(tree("/flash"), "/flash/etc/\n/flash/etc/u=u\n");
  InstallSetup pending;
  pending.before = [](Manifest& manifest) { manifest.add_move("/x", "/flash/var/pdb/u/"); };
  pending.commit = false;
  EXPECT_EQ(install(unrecorded, pending), "installed u-1.0\nresult=1 files=/etc/u,\n");
  EXPECT_EQ(install(package_bytes(u), pending), "result=0 files=\n");
  make_dirs("/flash/var/pdb");
  ASSERT_EQ(::symlink("/flash/etc", host_path("/flash/var/pdb/u").c_str()), 0);
  EXPECT_EQ(install(package_bytes(u)),
            "ERROR: installation of u-1.0 failed: could not create meta: Not a directory\n"
            "result=0 files=\n");
  EXPECT_EQ(tree("/flash/etc"), "/flash/etc/u=u\n");
}

// A disk that loses what its flushes carry: each ends only when waited for, with EIO.
class LosingFlush : public FlushBackend {
 public:
  bool start(int) override { return true; }
  bool finish(bool wait, int& result) override {
    result = -EIO;
    return wait;
  }
};

TEST_F(InstallTest, DataTheDiskLostAfterItsFileClosedFailsTheInstall) {
  InstallSetup losing;
  losing.before = [](Manifest&) {
    BackgroundFlush::replace_backend(std::make_unique<LosingFlush>());
  };
  EXPECT_EQ(install(p_with({file_entry("big", std::string(BackgroundFlush::FLUSH_STEP + 1, 'b'))}),
                    losing),
            "ERROR: installation of p-1.0 failed: disk error\nresult=0 files=/big,\n");
  EXPECT_EQ(tree("/"), EMPTY_ROOT);
}

TEST_F(InstallTest, RemovalTakesFilesEntryAndAnUnsharedBootImage) {
  write_file("/flash/etc/a", "a");
  write_file("/flash/x/p/etc/b", "b");
  make_dirs("/flash/etc/dir");
  write_file("/flash/etc/dir/other", "another package's file");
  write_file("/flash/var/pdb/p/version", "1 1\n");
  write_file("/flash/var/pdb/p/image", "image");
  write_file("/flash/bootimage", "boot");
  for (bool shared : {false, true}) {
    if (shared) ::link(host_path("/flash/bootimage").c_str(), host_path("/flash/second").c_str());
    const RunResult run = run_in_root([] {
      Package p("p");
      p.header_flags = HEADER_BOOT_IMAGE;
      p.action = ACTION_UNINSTALL;
      // Recorded paths that extraction could never have written are left alone.
      p.files = {"/etc/a", "/x/p/etc/b", "/missing", "/etc/dir", "/", "/../etc", "/etc/a b"};
      Manifest manifest;
      const Repository installed;
      remove_installed_package(p, manifest, installed);
      for (const auto& [path, op] : manifest.operations()) std::cout << path << "\n";
      std::cout << "files=" << p.files.size() << " action=" << p.action << "\n";
      return 0;
    });
    EXPECT_EQ(run.out, std::string(shared ? "" : "/flash/bootimage\n") +
                           "/flash/etc/a\n/flash/var/pdb/p/\n/flash/var/pdb/p/image\n"
                           "/flash/x/p/etc/b\nfiles=0 action=0\n");
  }
}

}  // namespace
