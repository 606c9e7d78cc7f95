// Whole upgrade-mode runs: signed package files in the download folders of a throwaway
// root, installed by the installer's entry function.
#include "installer/upgrade.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <iostream>

#include "testing/test_packages.h"
#include "testing/whole_run.h"

namespace {

std::string bytes_of(const std::string& name, Version version,
                     const std::vector<std::string>& files = {}) {
  return package_bytes(with_files(name, version, files));
}

using UpgradeRun = SignedRun;

TEST_F(UpgradeRun, InstallsTheDownloadFolderAndKeepsImagesWhereTheyBelong) {
  TestPackage system = with_files("system", V1, {"bin/system"});
  system.image = "kernel";  // kept whole as its database image
  const std::string system_bytes = package_bytes(system);
  write_file(DOWNLOAD + "system.vmp", system_bytes);
  write_file(DOWNLOAD + "app.trp", bytes_of("app", V2, {"etc/app"}));
  write_file(DOWNLOAD + ".hidden.vmp", bytes_of("hidden", V1, {"etc/hidden"}));
  write_file(DOWNLOAD + "shout.VMP", bytes_of("shout", V1, {"etc/shout"}));
  write_file(DOWNLOAD + "broken.vmp", "not a package");
  write_file(DOWNLOAD + "readme.txt", "not offered");
  make_dirs(DOWNLOAD + "dir.vmp");
  const RunResult run = run_installer({});
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("installing system-1.0 ["), std::string::npos);
  // Broken files are reported by name; the folder listing decides the order of the rest.
  std::string log = postlog();
  for (const char* line : {"ERROR: broken package broken.vmp\n", "ERROR: broken package dir.vmp\n",
                           "installed system-1.0\n", "installed app-2.0\n"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line << log;
  }
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 4) << log;
  EXPECT_EQ(loaded_records(), "app-2.0\nsystem-1.0\n");
  EXPECT_EQ(read_file("/flash/bin/system"), "system-1.0");
  EXPECT_EQ(read_file("/flash/var/pdb/system/image"), system_bytes);
  // The system's download moved into the database; app's, without an image part, stays.
  EXPECT_EQ(dir_entries(host_path(DOWNLOAD)),
            ".hidden.vmp,app.trp,broken.vmp,dir.vmp,readme.txt,shout.VMP");
  EXPECT_EQ(dir_entries(host_path("/flash")), "PCKGS_CHANGED,bin,etc,postlog,var");
  EXPECT_EQ(dir_entries(host_path("/flash/etc")), "app");
  EXPECT_EQ(dir_entries(host_path("/flash/var/pdb/app")), "deps,files,version");

  // Nothing new to install: nothing staged, no marker, and the post log is not read.
  remove("/flash/PCKGS_CHANGED");
  remove(DOWNLOAD);
  make_dirs(DOWNLOAD);
  const RunResult idle = run_installer({"--safe"});
  EXPECT_EQ(idle.status, 0);
  EXPECT_FALSE(exists("/flash/PCKGS_CHANGED") || exists("/ram/MANIFEST"));
  EXPECT_EQ(postlog(), log);
}

TEST_F(UpgradeRun, OnlyTheFirstFolderWithAPackageIsInstalled) {
  const std::string a = bytes_of("a", V1, {"a"}), c = bytes_of("c", V1, {"c"});
  run_scenario("a download", {},
               {{DOWNLOAD + "a.vmp", a},
                {"/flash/rw/pckg/b.vmp", bytes_of("b", V1, {"b"})},
                {"/flash/var/pckg/c.vmp", c}},
               {}, 0, "installed a-1.0\n", "a-1.0\n");
  // IGNORE passes over the download folder, and a folder of broken files counts as empty.
  run_scenario("ignored", {a},
               {{DOWNLOAD + "a.vmp", a},
                {DOWNLOAD + "IGNORE", ""},
                {"/flash/rw/pckg/b.vmp", "broken"},
                {"/flash/var/pckg/c.vmp", c}},
               {}, 0, "ERROR: broken package b.vmp\ninstalled c-1.0\n", "a-1.0\nc-1.0\n");
}

TEST_F(UpgradeRun, OlderVersionsNeedADowngrade) {
  const std::string a1 = bytes_of("a", V1, {"etc/a"}), a2 = bytes_of("a", V2, {"etc/a"});
  // Passed over with a warning: no failure.
  run_scenario("older", {a2}, {{DOWNLOAD + "a.vmp", a1}}, {}, 0,
               "WARNING: omitting package a-1.0: newer package a-2.0 is already installed\n",
               "a-2.0\n");
  // "/ram/DOWNGRADE" allows it, with its floor: the oldest file at or above it is taken.
  run_scenario("allowed", {a2},
               {{DOWNLOAD + "a.vmp", a1},
                {DOWNLOAD + "a3.vmp", bytes_of("a", V3, {"etc/a"})},
                {"/ram/DOWNGRADE", "16777216\n"}},  // 1.0 alpha
               {}, 0,
               "WARNING: omitting package a-3.0: older package is already provided\n"
               "installed a-1.0\n",
               "a-1.0\n", {{"/flash/etc/a", "a-1.0"}});
}

// What the plan makes of packages that exclude, need or retire each other, and of the user's
// choices.
TEST_F(UpgradeRun, RelationsAndSchedulesDecideWhatIsEnabled) {
  TestPackage guard = with_files("guard", V1, {"etc/guard"});
  guard.group.conflicts = std::vector<Dependency>{{"rival", 0, 0, 0}};
  // The user disabled tool; its next version keeps that state.
  run_scenario("a conflict disables, a user's choice stays",
               {package_bytes(guard), bytes_of("tool", V1, {"bin/tool"})},
               {{"/ram/pdb/tool/schedule", "disable\n"},
                {DOWNLOAD + "tool.vmp", bytes_of("tool", V2, {"bin/tool"})},
                {DOWNLOAD + "rival.vmp", bytes_of("rival", V1, {"etc/rival"})}},
               {}, 0,
               "disabled tool-1.0\ninstalled (disabled) rival-1.0\ninstalled (disabled) tool-2.0\n",
               "guard-1.0\nrival-1.0 disabled\ntool-2.0 disabled forced\n",
               {{"/flash/x/rival/etc/rival", "rival-1.0"},
                {"/flash/x/tool/bin/tool", "tool-2.0"},
                {"/flash/bin/tool", ""}});
  // A member's record comes from its bundle's image, which lists no files: its database
  // entry goes, the files it wrote stay.
  const auto suite = [](Version version, std::vector<TestPackage> members,
                        std::vector<std::string> listed) {
    return bundle_bytes(header_group("suite", version), members, listed);
  };
  run_scenario("a new bundle retires the members it lacks and disables its listed ones",
               {suite(V1, {with_files("m1", V1, {"m1"}), with_files("m2", V1, {"m2"})}, {})},
               {{DOWNLOAD + "suite.vmp",
                 suite(V2, {with_files("m1", V2, {"m1"}), with_files("m3", V1, {"m3"})}, {"m3"})}},
               {}, 0, "installed suite-2.0\n",
               "m1-2.0 from suite\nm3-1.0 disabled from suite\nsuite-2.0\n",
               {{"/flash/var/pdb/m2", ""}, {"/flash/m2", "m2-1.0"}, {"/flash/x/m3/m3", "m3-1.0"}});
  // The new lib comes in disabled, since guard excludes it; app, which needs it, switches
  // it on and guard off. Guard was on before and nothing excludes it: it comes back.
  TestPackage lib_guard = with_files("guard", V1, {"guard"});
  lib_guard.group.conflicts = std::vector<Dependency>{{"lib", V2, 0, 0}};
  TestPackage app = with_files("app", V1, {"app"});
  app.group.depends = std::vector<Dependency>{{"lib", 0, 0, 0}};
  run_scenario("what was enabled is enabled again",
               {bytes_of("lib", V1, {"lib"}), package_bytes(lib_guard), package_bytes(app)},
               {{DOWNLOAD + "lib.vmp", bytes_of("lib", V2, {"lib"})}}, {}, 0,
               "installed (disabled) lib-2.0\nenabled guard-1.0\n",
               "app-1.0\nguard-1.0\nlib-2.0\n");
}

TEST_F(UpgradeRun, AFailingFileCancelsEverythingStagedBeforeIt) {
  TestPackage bad = with_files("bad", V1, {"etc/bad"});
  bad.level = 0;  // signed with nothing
  // It needs the new base, so it is installed after it whatever the folder's order.
  bad.group.depends = std::vector<Dependency>{{"base", V2, 0, 0}};
  run_scenario("bad", {bytes_of("base", V1, {"bin/base"})},
               {{DOWNLOAD + "a.vmp", bytes_of("base", V2, {"bin/base"})},
                {DOWNLOAD + "z.vmp", package_bytes(bad)}},
               {}, 1, "installed base-2.0\nERROR: installation of bad-1.0 failed: broken package\n",
               "base-1.0\n");
}

// Between the check and the commit (a saved transaction), and after it, the download is
// attacked in every way its folder allows; what is kept stays the verified bytes.
TEST_F(UpgradeRun, WhatIsKeptIsWhatWasVerifiedWhateverBecomesOfTheDownload) {
  TestPackage system = with_files("system", V1, {"bin/system"});
  system.image = "kernel";
  system.group.header_flags = HEADER_BOOT_IMAGE;
  const std::string verified = package_bytes(system);
  TestPackage evil = system;
  evil.image = "evil kernel";
  evil.level = 0;
  const std::string evil_bytes = package_bytes(evil);
  const std::string download = DOWNLOAD + "system.vmp";
  const std::string other = "/rw/pckg/other.vmp";  // a second name, or the link's target
  const struct {
    const char* attack;
    bool link;  // the download is a symbolic link to `other`, else a second name of it
    bool replace;
  } attacks[] = {{"replaced", false, true},
                 {"written through a second name", false, false},
                 {"written through its link", true, false}};
  ASSERT_EQ(::setenv("bootimage", "1", 1), 0);
  for (const auto& attack : attacks) {
    SCOPED_TRACE(attack.attack);
    install_first({});
    write_file(other, verified);
    if (attack.link) {
      ASSERT_EQ(::symlink(other.c_str(), host_path(download).c_str()), 0);
    } else {
      ASSERT_EQ(::link(host_path(other).c_str(), host_path(download).c_str()), 0);
    }
    EXPECT_EQ(run_installer({"--safe"}).status, 0);
    if (attack.replace) {
      write_file(DOWNLOAD + "new.vmp", evil_bytes);
      ASSERT_EQ(::rename(host_path(DOWNLOAD + "new.vmp").c_str(), host_path(download).c_str()), 0);
    } else {
      write_file(other, evil_bytes);
    }
    EXPECT_EQ(run_installer({"--commit"}).status, 0);
    write_file(other, evil_bytes);  // and once it is kept
    EXPECT_EQ(read_file("/flash/bootimage"), verified);
    EXPECT_EQ(std::filesystem::read_symlink(host_path("/flash/var/pdb/system/image")),
              "/flash/bootimage");
    EXPECT_EQ(dir_entries(host_path(DOWNLOAD)), "");
    EXPECT_EQ(dir_entries(host_path("/flash")), "PCKGS_CHANGED,UPGRADED,bootimage,postlog,var");
  }
  ::unsetenv("bootimage");
}

// A transaction saved with --safe never replays over a newer install, its staged files never
// outlive it, and a kept image keeps the download's mode, whatever the download is named.
TEST_F(UpgradeRun, ASavedTransactionIsDroppedByANewerOneAndLeavesNothingBehind) {
  const auto with_image = [](Version version) {
    TestPackage app = with_files("app", version, {"etc/app"});
    app.image = "image " + version_text(version);
    return package_bytes(app);
  };
  install_first({with_image(V1)});
  write_file(DOWNLOAD + "app two.vmp", with_image(V2), 0640);
  ASSERT_EQ(run_installer({"-q", "--safe"}).status, 0);
  EXPECT_NE(read_file("/ram/MANIFEST").find("U /rw/pckg/.download/app two.vmp\n"),
            std::string::npos);
  EXPECT_EQ(read_file("/flash/etc/app"), "app-1.0");
  // Cancelled: the staged files go, the download stays.
  EXPECT_EQ(run_installer({"--cancel"}).status, 0);
  EXPECT_FALSE(exists("/ram/MANIFEST"));
  EXPECT_EQ(dir_entries(host_path("/.staging")), "");
  EXPECT_TRUE(exists(DOWNLOAD + "app two.vmp"));
  // Saved again, then overtaken by version 3: committing the saved one would undo it.
  ASSERT_EQ(run_installer({"-q", "--safe"}).status, 0);
  remove(DOWNLOAD + "app two.vmp");
  write_file(DOWNLOAD + "app3.vmp", with_image(V3), 0640);
  const RunResult newer = run_installer({});
  EXPECT_EQ(newer.status, 0);
  EXPECT_NE(newer.out.find("WARNING: the saved transaction was dropped\n"), std::string::npos);
  EXPECT_FALSE(exists("/ram/MANIFEST"));
  EXPECT_EQ(run_installer({"--commit"}).status, 0);
  EXPECT_EQ(loaded_records(), "app-3.0\n");
  EXPECT_EQ(read_file("/flash/etc/app"), "app-3.0");
  EXPECT_EQ(dir_entries(host_path("/.staging")), "");
  struct stat info;
  ASSERT_EQ(::stat(host_path("/flash/var/pdb/app/image").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
}

// The space check counts the inodes that the commit needs beyond what staging took.
TEST_F(UpgradeRun, AFlashWithTooFewInodesRefusesTheUpgradeUntouched) {
  require_mounts();
  TestPackage app = with_files("app", V1, {"etc/app"});
  app.image = "kept whole, so the download is consumed";
  install_first({package_bytes(app)});
  app.group.version = V2;
  for (int i = 0; i < 16; ++i) {
    app.files.push_back(file_entry("share/" + std::to_string(i) + "/f", "f"));
  }
  write_file(DOWNLOAD + "app.vmp", package_bytes(app));  // 17 new directories
  std::filesystem::rename(host_path("/flash"), host_path("/rw/seed"));
  make_dirs("/flash");
  // The installer on a tmpfs flash that starts as v1 left it; prints the inodes it then
  // holds and whether it changed.
  const auto run_on_tmpfs = [this](const std::string& inodes, std::vector<std::string> args) {
    ChildOptions options;
    options.mounts = {{"/flash", "4m" + inodes}};
    return run_in_root(
        [&args] {
          std::filesystem::copy("/rw/seed", "/flash", std::filesystem::copy_options::recursive);
          const auto listing = [] {
            std::string lines;
            for (const auto& entry : std::filesystem::recursive_directory_iterator("/flash")) {
              const std::string path = entry.path().string();
              // The staging directory may be made before the space is judged.
              if (path == "/flash/.staging" || path == "/flash/postlog") continue;
              lines += path + "=" + (entry.is_regular_file() ? file_text(path) : "") + "\n";
            }
            return lines;
          };
          const std::string before = listing();
          const int status = enter_installer(args);
          struct statfs info;
          ::statfs("/flash", &info);
          std::cout << "\ninodes=" << info.f_files - info.f_ffree
                    << (listing() == before ? " unchanged\n" : " changed\n");
          return status;
        },
        options);
  };
  const RunResult staged = run_on_tmpfs("", {"--safe"});
  ASSERT_EQ(staged.status, 0) << staged.out;
  const size_t at = staged.out.find("\ninodes=");
  ASSERT_NE(at, std::string::npos) << staged.out;
  const long used = std::stol(staged.out.substr(at + 8));
  // Room for what staging takes, not for the new directories.
  const RunResult run = run_on_tmpfs(",nr_inodes=" + std::to_string(used + 8), {});
  EXPECT_EQ(run.status, 28) << run.out << run.err;
  EXPECT_NE(run.out.find("ERROR: not enough space for upgrade\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find(" unchanged\n"), std::string::npos) << run.out;
  EXPECT_TRUE(exists(DOWNLOAD + "app.vmp"));
}

// Whole runs with only schedule files: the scheduled actions are carried out and committed.
class ScheduledRun : public WholeRun {
 protected:
  // A text-form database entry at version 1.0 with its files.
  void entry(const std::string& name, const std::vector<std::string>& files = {},
             const std::string& disabled = "") {
    const std::string dir = "/flash/var/pdb/" + name + "/";
    write_file(dir + "version", "16803328 1\n");
    std::string list;
    for (const std::string& file : files) {
      write_file("/flash" + file, name);
      list += file.substr(1) + "\n";
    }
    write_file(dir + "files", list);
    if (!disabled.empty()) write_file(dir + "disabled", disabled + "\n");
  }
  void schedule(const std::string& key, const std::string& word) {
    write_file("/ram/pdb/" + key + "/schedule", word + "\n");
  }
};

TEST_F(ScheduledRun, SchedulesAloneDisableEnableAndUninstallForReal) {
  entry("base", {"/bin/base"});
  entry("gone", {"/etc/gone", "/etc/shared.d/gone"});
  entry("off", {"/x/off/etc/off"}, "auto");
  entry("quiet", {"/etc/quiet"});
  schedule("gone", "uninstall");
  schedule("off", "enable");
  schedule("quiet", "disable");
  const RunResult run = run_installer({"-r", "/"});
  EXPECT_EQ(run.status, 0);
  const std::string hide = "\x1b[?25l\r", show = "\r\x1b[?25h";
  EXPECT_EQ(run.out, hide + "disabling quiet-1.0..." + show + hide + std::string(22, ' ') + show +
                         "disabled quiet-1.0\n" + hide + "enabling off-1.0..." + show + hide +
                         std::string(19, ' ') + show + "enabled off-1.0\n");
  // Uninstalls print no lines at this level; the console's lines reach the post log.
  EXPECT_EQ(read_file("/flash/postlog"), "disabled quiet-1.0\nenabled off-1.0\n");
  EXPECT_EQ(tree("/flash"),
            "/flash/PCKGS_CHANGED=\n/flash/bin/\n/flash/bin/base=base\n/flash/etc/\n"
            "/flash/etc/quiet=quiet\n/flash/etc/shared.d/\n/flash/postlog=disabled quiet-1.0\n"
            "enabled off-1.0\n\n/flash/var/\n/flash/var/pdb/\n/flash/var/pdb/base/\n"
            "/flash/var/pdb/base/files=bin/base\n\n/flash/var/pdb/base/version=16803328 1\n\n"
            "/flash/var/pdb/off/\n/flash/var/pdb/off/enabled=user\n\n"
            "/flash/var/pdb/off/files=x/off/etc/off\n\n/flash/var/pdb/off/version=16803328 1\n\n"
            "/flash/var/pdb/quiet/\n/flash/var/pdb/quiet/disabled=user\n\n"
            "/flash/var/pdb/quiet/files=etc/quiet\n\n/flash/var/pdb/quiet/version=16803328 1\n\n"
            "/flash/x/\n/flash/x/off/\n/flash/x/off/etc/\n/flash/x/off/etc/off=off\n");
  // The schedule files belong to other programs: they stay.
  EXPECT_TRUE(exists("/ram/pdb/gone/schedule"));
}

}  // namespace
