// Whole runs on signed package files in a throwaway root, by the installer's entry function:
// upgrades from the download folders, and the scenarios of installer/testdata/scenarios.txt.
#include "installer/upgrade.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>

#include "package/version_parse.h"
#include "testing/case_file.h"
#include "testing/test_packages.h"
#include "testing/whole_run.h"

namespace {

using UpgradeRun = SignedRun;

// `text` split at `separator`; none for an empty text.
std::vector<std::string> split(const std::string& text, const std::string& separator) {
  std::vector<std::string> items;
  for (size_t start = 0; !text.empty();) {
    const size_t end = text.find(separator, start);
    items.push_back(text.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + separator.size();
  }
  return items;
}

// A package as scenarios.txt tells it; `listed` takes a bundle's member list.
TestPackage described(const std::string& text, std::vector<std::string>* listed = nullptr) {
  std::istringstream words(text);
  std::string name, version_word, word;
  Version version = 0;
  words >> name >> version_word;
  EXPECT_TRUE(parse_version_text(version_word, version)) << text;
  TestPackage package = test_package(name, version);
  while (words >> word) {
    const std::string key = word.substr(0, word.find('=')), value = word.substr(key.size() + 1);
    auto* relation = key == "depends"     ? &package.group.depends
                     : key == "provides"  ? &package.group.provides
                     : key == "conflicts" ? &package.group.conflicts
                                          : nullptr;
    const size_t colon = value.find(':');
    if (key == "files") {
      for (const std::string& file : split(value, ",")) {
        package.files.push_back(file_entry(file, name + "-" + version_word));
      }
    } else if (key == "file" && colon != std::string::npos) {
      package.files.push_back(file_entry(value.substr(0, colon), value.substr(colon + 1)));
    } else if (key == "level") {
      package.level = std::atoi(value.c_str());
    } else if (key == "image") {
      package.image = value;
    } else if (key == "before" && colon != std::string::npos) {
      package.parts_before.push_back({uint16_t(std::atoi(value.c_str())), value.substr(colon + 1)});
    } else if (key == "listed" && listed != nullptr) {
      *listed = split(value, ",");
    } else if (relation != nullptr) {
      *relation = std::vector<Dependency>();
      for (const std::string& item : split(value, ",")) {
        const size_t at = item.find(">=");
        (*relation)->push_back({item.substr(0, at), 0, 0, 0});
        EXPECT_TRUE(at == std::string::npos ||
                    parse_version_text(item.substr(at + 2), (*relation)->back().min))
            << item;
      }
    } else {
      ADD_FAILURE() << "unknown word " << word << " in " << text;
    }
  }
  return package;
}

// The bytes of a file as scenarios.txt tells it: a package, a bundle or a line of text.
std::string described_bytes(const std::string& text) {
  if (text.rfind("text", 0) == 0) return text.substr(std::min<size_t>(text.size(), 5)) + "\n";
  if (text.rfind("bundle ", 0) != 0) return package_bytes(described(text));
  const std::vector<std::string> parts = split(text.substr(7), " + ");
  std::vector<std::string> listed;
  const TestPackage bundle = described(parts[0], &listed);
  std::vector<TestPackage> members;
  for (size_t i = 1; i < parts.size(); ++i) members.push_back(described(parts[i]));
  return bundle_bytes(bundle.group, members, listed);
}

TEST_F(UpgradeRun, EveryScenarioEndsAsItsCaseTells) {
  for (const TestCase& c : read_cases(
           "installer/testdata/scenarios.txt",
           {"installed*", "put*", "stdin?", "status", "log*", "records*", "file*", "absent*"})) {
    std::vector<std::string> installed;
    for (const std::string& text : c.list("installed")) installed.push_back(described_bytes(text));
    Files written, files;
    for (const std::string& line : c.list("put")) {
      const size_t at = line.find(" = ");
      const std::string path = line.substr(0, at);
      written.push_back(
          {path[0] == '/' ? path : DOWNLOAD + path, described_bytes(line.substr(at + 3))});
    }
    for (const std::string& line : c.list("file")) {
      files.push_back({line.substr(0, line.find(" = ")), line.substr(line.find(" = ") + 3)});
    }
    for (const std::string& text : c.list("absent")) files.push_back({text, ""});
    std::string log, records;
    for (const std::string& line : c.list("log")) log += line + "\n";
    for (const std::string& line : c.list("records")) records += line + "\n";
    std::optional<std::string> input;
    if (c.values.count("stdin") != 0) input = described_bytes(c.text("stdin"));
    run_scenario(c.label(), installed, written, input, std::atoi(c.text("status").c_str()), log,
                 records, files);
  }
}

TEST_F(UpgradeRun, InstallsTheDownloadFolderAndKeepsImagesWhereTheyBelong) {
  TestPackage system = with_files("system", V1, {"bin/system"});
  system.image = "kernel";  // kept whole as its database image
  const std::string system_bytes = package_bytes(system);
  write_file(DOWNLOAD + "system.vmp", system_bytes);
  write_file(DOWNLOAD + "app.trp", package_bytes(with_files("app", V2, {"etc/app"})));
  write_file(DOWNLOAD + ".hidden.vmp", package_bytes(with_files("hidden", V1, {"etc/hidden"})));
  write_file(DOWNLOAD + "shout.VMP", package_bytes(with_files("shout", V1, {"etc/shout"})));
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
