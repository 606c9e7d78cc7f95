// Whole upgrade-mode runs: signed package files in the download folders of a throwaway
// root, installed by the installer's entry function.
#include "installer/upgrade.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "testing/test_packages.h"
#include "testing/whole_run.h"

namespace {

const Version V1 = make_version(1, 0, KIND_FINAL, 0);
const Version V2 = make_version(2, 0, KIND_FINAL, 0);
const Version V3 = make_version(3, 0, KIND_FINAL, 0);

TestPackage with_file(const std::string& name, Version version, const std::string& file) {
  TestPackage package = test_package(name, version);
  package.files = {file_entry(file, name + "-" + version_text(version))};
  return package;
}

class UpgradeRun : public WholeRun {
 protected:
  void SetUp() override {
    WholeRun::SetUp();
    if (!IsSkipped()) SKIP_WITHOUT_SIGNING_KEYS();
    make_router_dirs();
  }

  void offer(const std::string& name, const std::string& bytes,
             const std::string& folder = "/rw/pckg/.download/") {
    write_file(folder + name, bytes);
  }

  // Installs a first set of packages with an upgrade run, and empties the post log.
  void install_first(const std::vector<std::pair<std::string, std::string>>& files) {
    for (const auto& [name, bytes] : files) offer(name, bytes, "/flash/var/pckg/");
    const RunResult run = run_installer({"-q"});
    ASSERT_EQ(run.status, 0);
    for (const char* path : {"/flash/var/pckg", "/flash/PCKGS_CHANGED", "/flash/postlog"}) {
      remove(path);
    }
  }
};

TEST_F(UpgradeRun, InstallsTheDownloadFolderAndKeepsImagesWhereTheyBelong) {
  TestPackage system = with_file("system", V1, "bin/system");
  system.image = "kernel";  // kept whole as its database image
  const std::string system_bytes = package_bytes(system);
  offer("system.vmp", system_bytes);
  offer("app.trp", package_bytes(with_file("app", V2, "etc/app")));
  offer(".hidden.vmp", package_bytes(with_file("hidden", V1, "etc/hidden")));
  offer("shout.VMP", package_bytes(with_file("shout", V1, "etc/shout")));
  offer("broken.vmp", "not a package");
  offer("readme.txt", "not offered");
  make_dirs("/rw/pckg/.download/dir.vmp");
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
  EXPECT_FALSE(exists("/rw/pckg/.download/system.vmp"));  // moved into the database
  EXPECT_TRUE(exists("/rw/pckg/.download/app.trp"));      // no image part: left in place
  EXPECT_FALSE(exists("/flash/var/pdb/app/image"));
  EXPECT_TRUE(exists("/flash/PCKGS_CHANGED"));
  EXPECT_FALSE(exists("/flash/etc/hidden") || exists("/flash/etc/shout"));

  // Nothing new to install: nothing staged, no marker, and the post log is not read.
  remove("/flash/PCKGS_CHANGED");
  remove("/rw/pckg/.download");
  make_dirs("/rw/pckg/.download");
  const RunResult idle = run_installer({"--safe"});
  EXPECT_EQ(idle.status, 0);
  EXPECT_FALSE(exists("/flash/PCKGS_CHANGED") || exists("/ram/MANIFEST"));
  EXPECT_EQ(postlog(), log);
}

TEST_F(UpgradeRun, OnlyTheFirstFolderWithAPackageIsInstalled) {
  offer("a.vmp", package_bytes(with_file("a", V1, "a")));
  offer("b.vmp", package_bytes(with_file("b", V1, "b")), "/flash/rw/pckg/");
  offer("c.vmp", package_bytes(with_file("c", V1, "c")), "/flash/var/pckg/");
  EXPECT_EQ(run_installer({"-q"}).status, 0);
  EXPECT_EQ(loaded_records(), "a-1.0\n");
  // IGNORE passes over the download folder, and a folder of broken files counts as empty.
  write_file("/rw/pckg/.download/IGNORE", "");
  write_file("/flash/rw/pckg/b.vmp", "broken");
  EXPECT_EQ(run_installer({"-q"}).status, 0);
  EXPECT_EQ(loaded_records(), "a-1.0\nc-1.0\n");
}

TEST_F(UpgradeRun, OlderVersionsNeedADowngrade) {
  install_first({{"a.vmp", package_bytes(with_file("a", V2, "etc/a"))}});
  offer("a.vmp", package_bytes(with_file("a", V1, "etc/a")));
  // Passed over with a warning: no failure.
  EXPECT_EQ(run_installer({}).status, 0);
  EXPECT_EQ(postlog(),
            "WARNING: omitting package a-1.0: newer package a-2.0 is already installed\n");
  EXPECT_EQ(loaded_records(), "a-2.0\n");

  // "/ram/DOWNGRADE" allows it, with its floor: the oldest file at or above it is taken.
  offer("a3.vmp", package_bytes(with_file("a", V3, "etc/a")));
  write_file("/ram/DOWNGRADE", "16777216\n");  // 1.0 alpha
  EXPECT_EQ(run_installer({}).status, 0);
  EXPECT_EQ(loaded_records(), "a-1.0\n");
  EXPECT_EQ(read_file("/flash/etc/a"), "a-1.0");
}

// What the plan makes of packages that exclude, need or retire each other, and of the user's
// choices.
TEST_F(UpgradeRun, RelationsAndSchedulesDecideWhatIsEnabled) {
  using Files = std::vector<std::pair<std::string, std::string>>;
  TestPackage guard = with_file("guard", V1, "etc/guard");
  guard.group.conflicts = std::vector<Dependency>{{"rival", 0, 0, 0}};
  TestPackage lib_guard = with_file("guard", V1, "guard");
  lib_guard.group.conflicts = std::vector<Dependency>{{"lib", V2, 0, 0}};
  TestPackage app = with_file("app", V1, "app");
  app.group.depends = std::vector<Dependency>{{"lib", 0, 0, 0}};
  const struct {
    const char* name;
    Files installed;
    std::string before;  // the records once installed
    Files written, offered;
    std::string records, log;
    Files files;  // path and contents; "" for a path that must not exist
  } scenarios[] = {
      // The user disabled tool; its next version keeps that state.
      {"a conflict disables, a user's choice stays",
       {{"guard.vmp", package_bytes(guard)},
        {"tool.vmp", package_bytes(with_file("tool", V1, "bin/tool"))}},
       "guard-1.0\ntool-1.0\n",
       {{"/ram/pdb/tool/schedule", "disable\n"}},
       {{"tool.vmp", package_bytes(with_file("tool", V2, "bin/tool"))},
        {"rival.vmp", package_bytes(with_file("rival", V1, "etc/rival"))}},
       "guard-1.0\nrival-1.0 disabled\ntool-2.0 disabled forced\n",
       "disabled tool-1.0\ninstalled (disabled) rival-1.0\ninstalled (disabled) tool-2.0\n",
       {{"/flash/x/rival/etc/rival", "rival-1.0"},
        {"/flash/x/tool/bin/tool", "tool-2.0"},
        {"/flash/bin/tool", ""}}},
      // A member's record comes from its bundle's image, which lists no files: its database
      // entry goes, the files it wrote stay.
      {"a new bundle retires the members it lacks and disables its listed ones",
       {{"suite.vmp", bundle_bytes(header_group("suite", V1),
                                   {with_file("m1", V1, "m1"), with_file("m2", V1, "m2")})}},
       "m1-1.0 from suite\nm2-1.0 from suite\nsuite-1.0\n",
       {},
       {{"suite.vmp",
         bundle_bytes(header_group("suite", V2),
                      {with_file("m1", V2, "m1"), with_file("m3", V1, "m3")}, {"m3"})}},
       "m1-2.0 from suite\nm3-1.0 disabled from suite\nsuite-2.0\n",
       "installed suite-2.0\n",
       {{"/flash/var/pdb/m2", ""}, {"/flash/m2", "m2-1.0"}, {"/flash/x/m3/m3", "m3-1.0"}}},
      // The new lib comes in disabled, since guard excludes it; app, which needs it, switches
      // it on and guard off. Guard was on before and nothing excludes it: it comes back.
      {"what was enabled is enabled again",
       {{"lib.vmp", package_bytes(with_file("lib", V1, "lib"))},
        {"guard.vmp", package_bytes(lib_guard)},
        {"app.vmp", package_bytes(app)}},
       "app-1.0\nguard-1.0\nlib-1.0\n",
       {},
       {{"lib.vmp", package_bytes(with_file("lib", V2, "lib"))}},
       "app-1.0\nguard-1.0\nlib-2.0\n",
       "installed (disabled) lib-2.0\nenabled guard-1.0\n",
       {}},
  };
  for (const auto& scenario : scenarios) {
    SCOPED_TRACE(scenario.name);
    reset_root();
    make_router_dirs();
    install_first(scenario.installed);
    EXPECT_EQ(loaded_records(), scenario.before);
    for (const auto& [path, contents] : scenario.written) write_file(path, contents);
    for (const auto& [name, bytes] : scenario.offered) offer(name, bytes);
    EXPECT_EQ(run_installer({}).status, 0);
    EXPECT_EQ(loaded_records(), scenario.records);
    EXPECT_EQ(postlog(), scenario.log);
    for (const auto& [path, contents] : scenario.files) {
      EXPECT_EQ(exists(path), !contents.empty()) << path;
      EXPECT_EQ(read_file(path), contents) << path;
    }
  }
}

TEST_F(UpgradeRun, AFailingFileCancelsEverythingStagedBeforeIt) {
  install_first({{"base.vmp", package_bytes(with_file("base", V1, "bin/base"))}});
  offer("a.vmp", package_bytes(with_file("base", V2, "bin/base")));
  TestPackage bad = with_file("bad", V1, "etc/bad");
  bad.level = 0;  // signed with nothing
  // It needs the new base, so it is installed after it whatever the folder's order.
  bad.group.depends = std::vector<Dependency>{{"base", V2, 0, 0}};
  offer("z.vmp", package_bytes(bad));
  const std::string before = tree("/");
  const RunResult run = run_installer({});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(postlog().find("installed base-2.0\n"), std::string::npos) << postlog();
  EXPECT_NE(postlog().find("ERROR: installation of bad-1.0 failed: broken package\n"),
            std::string::npos);
  remove("/flash/postlog");
  EXPECT_EQ(tree("/"), before);
}

// Between the check and the commit (a saved transaction), and after it, the download is
// attacked in every way its folder allows; what is kept stays the verified bytes.
TEST_F(UpgradeRun, WhatIsKeptIsWhatWasVerifiedWhateverBecomesOfTheDownload) {
  TestPackage system = with_file("system", V1, "bin/system");
  system.image = "kernel";
  system.group.header_flags = HEADER_BOOT_IMAGE;
  const std::string verified = package_bytes(system);
  TestPackage evil = system;
  evil.image = "evil kernel";
  evil.level = 0;
  const std::string evil_bytes = package_bytes(evil);
  const std::string download = "/rw/pckg/.download/system.vmp";
  const std::string other = "/rw/pckg/other.vmp";  // a second name, or the link's target
  const auto overwrite = [&](const std::string& path) {
    std::ofstream(host_path(path), std::ios::binary | std::ios::trunc) << evil_bytes;
  };
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
    reset_root();
    make_router_dirs();
    write_file(other, verified);
    if (attack.link) {
      ASSERT_EQ(::symlink(other.c_str(), host_path(download).c_str()), 0);
    } else {
      ASSERT_EQ(::link(host_path(other).c_str(), host_path(download).c_str()), 0);
    }
    EXPECT_EQ(run_installer({"--safe"}).status, 0);
    if (attack.replace) {
      write_file("/rw/pckg/.download/new.vmp", evil_bytes);
      ASSERT_EQ(
          ::rename(host_path("/rw/pckg/.download/new.vmp").c_str(), host_path(download).c_str()),
          0);
    } else {
      overwrite(other);
    }
    EXPECT_EQ(run_installer({"--commit"}).status, 0);
    overwrite(other);  // and once it is kept
    EXPECT_EQ(read_file("/flash/bootimage"), verified);
    EXPECT_EQ(std::filesystem::read_symlink(host_path("/flash/var/pdb/system/image")),
              "/flash/bootimage");
    EXPECT_EQ(dir_entries(host_path("/rw/pckg/.download")), "");
    EXPECT_EQ(dir_entries(host_path("/flash")), "PCKGS_CHANGED,UPGRADED,bootimage,postlog,var");
  }
  ::unsetenv("bootimage");
}

// A transaction saved with --safe never replays over a newer install, its staged files never
// outlive it, and a kept image keeps the download's mode, whatever the download is named.
TEST_F(UpgradeRun, ASavedTransactionIsDroppedByANewerOneAndLeavesNothingBehind) {
  const auto with_image = [](Version version) {
    TestPackage app = with_file("app", version, "etc/app");
    app.image = "image " + version_text(version);
    return package_bytes(app);
  };
  install_first({{"app.vmp", with_image(V1)}});
  offer("app two.vmp", with_image(V2));
  ::chmod(host_path("/rw/pckg/.download/app two.vmp").c_str(), 0640);
  ASSERT_EQ(run_installer({"-q", "--safe"}).status, 0);
  EXPECT_NE(read_file("/ram/MANIFEST").find("U /rw/pckg/.download/app two.vmp\n"),
            std::string::npos);
  EXPECT_EQ(read_file("/flash/etc/app"), "app-1.0");
  // Cancelled: the staged files go, the download stays.
  EXPECT_EQ(run_installer({"--cancel"}).status, 0);
  EXPECT_FALSE(exists("/ram/MANIFEST"));
  EXPECT_EQ(dir_entries(host_path("/.staging")), "");
  EXPECT_TRUE(exists("/rw/pckg/.download/app two.vmp"));
  // Saved again, then overtaken by version 3: committing the saved one would undo it.
  ASSERT_EQ(run_installer({"-q", "--safe"}).status, 0);
  remove("/rw/pckg/.download/app two.vmp");
  offer("app3.vmp", with_image(V3));
  ::chmod(host_path("/rw/pckg/.download/app3.vmp").c_str(), 0640);
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
  const char* const download = "/rw/pckg/.download/app.vmp";
  TestPackage app = with_file("app", V1, "etc/app");
  app.image = "kept whole, so the download is consumed";
  install_first({{"app.vmp", package_bytes(app)}});
  app.group.version = V2;
  for (int i = 0; i < 16; ++i) {
    app.files.push_back(file_entry("share/" + std::to_string(i) + "/f", "f"));
  }
  offer("app.vmp", package_bytes(app));  // 17 new directories
  std::filesystem::rename(host_path("/flash"), host_path("/rw/seed"));
  make_dirs("/flash");
  // The installer on a tmpfs flash that starts as v1 left it; prints the inodes it then
  // holds and whether it changed.
  const auto run_on_tmpfs = [this](const std::string& inodes, const char* mode) {
    ChildOptions options;
    options.mounts = {{"/flash", "4m" + inodes}};
    return run_in_root(
        [mode] {
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
  EXPECT_TRUE(exists(download));
}

}  // namespace
