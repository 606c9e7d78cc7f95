// Upgrades whose flushes, renames, deletions and mode changes fail one at a time: a run
// that reports success installed everything, one that fails says so, the only copy of a
// package is never lost, and a run without the fault finishes the job.
#include <gtest/gtest.h>
#include <sys/statfs.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "testing/test_packages.h"
#include "testing/whole_run.h"

namespace {

namespace fs = std::filesystem;

const Version V1 = make_version(1, 0, KIND_FINAL, 0);
const Version V2 = make_version(2, 0, KIND_FINAL, 0);
const char* const DOWNLOAD = "/rw/pckg/.download/app.vmp";
const char* const IMAGE = "/flash/var/pdb/app/image";

// v2 replaces a file, adds files in new directories, drops one, and changes a mode.
TestPackage app(Version version, int extra_files = 0) {
  TestPackage p = test_package("app", version);
  p.image = "app image " + version_text(version);
  if (version == V1) {
    p.files = {file_entry("etc/a", "a1"), file_entry("etc/b", "b1"), file_entry("bin/t", "t1")};
  } else {
    p.files = {file_entry("etc/a", "a2"), file_entry("lib/x/d", "d2"),
               file_entry("bin/t", "t2", 0755)};
  }
  for (int i = 0; i < extra_files; ++i) {
    p.files.push_back(file_entry("share/" + std::to_string(i) + "/f", "f"));
  }
  return p;
}

std::string bundle(Version version) { return changing_bundle(version, V1); }
std::string routeros(Version version) { return boot_image_bundle(version); }

std::string app_bytes(Version version) { return package_bytes(app(version)); }

struct Upgrade {
  const char* download;
  std::string (*bytes)(Version);
  bool boot_image;
  // What holds the new version once installed, the kept package file first: with the
  // download gone, these must.
  std::vector<const char*> installed;
};

const Upgrade UPGRADES[] = {
    {DOWNLOAD, app_bytes, false, {IMAGE, "/flash/etc/a", "/flash/lib/x/d", "/flash/bin/t"}},
    {"/rw/pckg/.download/m.vmp",
     bundle,
     false,
     {"/flash/var/pdb/m/image", "/flash/etc/z", "/flash/lib/z/d", "/flash/etc/zz"}},
    {"/rw/pckg/.download/routeros.vmp",
     routeros,
     true,
     {"/flash/bootimage", "/flash/var/pdb/routeros/image", "/flash/etc/net"}},
};

class FaultInjection : public WholeRun {
 protected:
  void SetUp() override {
    WholeRun::SetUp();
    if (!IsSkipped()) SKIP_WITHOUT_SIGNING_KEYS();
  }
};

TEST_F(FaultInjection, AFailingCallNeverLosesThePackageAndARerunFinishes) {
  if (!can_inject_faults()) GTEST_SKIP() << "system calls cannot be failed here (x86-64 only)";
  // The faulted run, which also finishes it: a plain upgrade, or a commit of what "--safe"
  // staged.
  for (const Upgrade& upgrade : UPGRADES) {
    ChildOptions options;
    if (upgrade.boot_image) options.env = {{"bootimage", "1"}};
    for (const bool safe : {false, true}) {
      const std::vector<std::string> args =
          safe ? std::vector<std::string>{"--commit"} : std::vector<std::string>{};
      reset_root();
      make_dirs("/flash/var/pdb");
      write_file(upgrade.download, upgrade.bytes(V1));
      ASSERT_EQ(run_installer({"-q"}, options).status, 0);
      write_file(upgrade.download, upgrade.bytes(V2));
      if (safe) {
        ASSERT_EQ(run_installer({"-q", "--safe"}, options).status, 0);
      }
      const std::string saved = root() + ".saved";
      save_root(saved);
      ASSERT_EQ(run_installer(args, options).status, 0);
      const auto done = files_but_postlog();
      ASSERT_EQ(read_file(upgrade.installed[0]), upgrade.bytes(V2));

      for (const char* call : {"syncfs", "fsync", "rename", "unlink", "fchmod"}) {
        for (int nth = 1; nth <= 40; ++nth) {
          SCOPED_TRACE(std::string(upgrade.download) + (safe ? " --commit" : " upgrade") + ": " +
                       call + " #" + std::to_string(nth) + " fails");
          restore_root(saved);
          ChildOptions faulty = options;
          faulty.fault = InjectedFault{call, nth, EIO};
          const RunResult run = run_installer(args, faulty);
          if (!run.injected) break;
          const auto now = files_but_postlog();
          const std::string left = tree_differences(done, now);  // "-" not done yet
          if (run.status == 0) {
            EXPECT_TRUE(left.empty()) << "reported success:\n" << left;
          } else {
            EXPECT_EQ(run.status, 1);
            EXPECT_NE((run.out + run.err).find("ERROR: "), std::string::npos) << run.out << run.err;
          }
          bool installed = true;
          for (const char* path : upgrade.installed) {
            installed = installed && now.count(path) && now.at(path) == done.at(path);
          }
          EXPECT_TRUE(exists(upgrade.download) || installed) << left;
          const RunResult rerun = run_installer(args, options);
          EXPECT_EQ(rerun.status, 0) << rerun.out << rerun.err;
          const auto finished = files_but_postlog();
          const std::string unfinished = tree_differences(done, finished);
          EXPECT_TRUE(unfinished.empty()) << "the faulted run (status " << run.status << ") left:\n"
                                          << left << "the rerun left:\n"
                                          << unfinished;
          EXPECT_EQ(staged_files(finished), std::vector<std::string>()) << tree("/");
        }
      }
    }
  }
}

// The space check counts the inodes that the commit needs beyond what staging took.
TEST_F(FaultInjection, AFlashWithTooFewInodesRefusesTheUpgradeUntouched) {
  require_mounts();
  make_dirs("/flash/var/pdb");
  write_file(DOWNLOAD, package_bytes(app(V1)));
  ASSERT_EQ(run_installer({"-q"}).status, 0);
  write_file(DOWNLOAD, package_bytes(app(V2, 16)));  // 19 new directories
  fs::rename(host_path("/flash"), host_path("/rw/seed"));
  make_dirs("/flash");
  // The installer on a tmpfs flash that starts as v1 left it; prints the inodes it then
  // holds and whether it changed.
  const auto run_on_tmpfs = [this](const std::string& inodes, const char* mode) {
    ChildOptions options;
    options.mounts = {{"/flash", "4m" + inodes}};
    return run_in_root(
        [mode] {
          fs::copy("/rw/seed", "/flash", fs::copy_options::recursive);
          const auto listing = [] {
            std::map<std::string, std::string> lines;
            for (const auto& entry : fs::recursive_directory_iterator("/flash")) {
              const std::string path = entry.path().string();
              // The staging directory may be made before the space is judged.
              if (path == "/flash/.staging" || path == "/flash/postlog") continue;
              std::ostringstream contents;
              if (entry.is_regular_file()) contents << std::ifstream(path).rdbuf();
              lines[path] = contents.str();
            }
            return lines;
          };
          const auto before = listing();
          const int status =
              enter_installer(mode ? std::vector<std::string>{mode} : std::vector<std::string>{});
          struct statfs info;
          ::statfs("/flash", &info);
          std::cout << "\ninodes=" << info.f_files - info.f_ffree
                    << (listing() == before ? " unchanged\n" : " changed\n");
          return status;
        },
        options);
  };
  const RunResult staged = run_on_tmpfs("", "--safe");
  ASSERT_EQ(staged.status, 0) << staged.out;
  const size_t at = staged.out.find("\ninodes=");
  ASSERT_NE(at, std::string::npos) << staged.out;
  const long used = std::stol(staged.out.substr(at + 8));
  // Room for what staging takes, not for the new directories.
  const RunResult run = run_on_tmpfs(",nr_inodes=" + std::to_string(used + 8), nullptr);
  EXPECT_EQ(run.status, 28) << run.out << run.err;
  EXPECT_NE(run.out.find("ERROR: not enough space for upgrade\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find(" unchanged\n"), std::string::npos) << run.out;
  EXPECT_TRUE(exists(DOWNLOAD));
}

}  // namespace
