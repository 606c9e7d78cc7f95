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

// `text` with its escapes: "\\n", "\\r" and "\\e" (escape).
std::string unescaped(const std::string& text) {
  return with_tokens(text, {{"\\n", "\n"}, {"\\r", "\r"}, {"\\e", "\x1b"}});
}

// `text` split at `separator`, none for an empty text; an item "X*N" stands for N times X,
// and "X#NY" for X0Y to X(N-1)Y (X without spaces): long lists in a few words.
std::vector<std::string> split(const std::string& text, const std::string& separator) {
  std::vector<std::string> items;
  for (size_t start = 0; !text.empty();) {
    const size_t end = text.find(separator, start);
    const std::string item = text.substr(start, end - start);
    size_t mark = item.find_first_of("*# ");  // in the first word only
    if (mark == std::string::npos || item[mark] == ' ') mark = item.size();
    const size_t rest = std::min(item.find_first_not_of("0123456789", mark + 1), item.size());
    for (int i = 0, count = mark == item.size() ? 1 : std::atoi(&item[mark + 1]); i < count; ++i) {
      items.push_back(item.substr(0, mark) + (item[mark] == '#' ? std::to_string(i) : "") +
                      item.substr(rest));
    }
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
    const std::string key = word.substr(0, word.find('='));
    const std::string value = word.substr(std::min(key.size() + 1, word.size()));
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
    } else if (word == "bare") {  // nothing to stage: a quick member
      package.archive = false;
      package.group.header_flags = HEADER_NO_TEXT_DB;
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
  if (text.rfind("text", 0) == 0)
    return unescaped(text.substr(std::min<size_t>(text.size(), 5))) + "\n";
  if (text.rfind("bundle ", 0) != 0) return package_bytes(described(text));
  const std::vector<std::string> parts = split(text.substr(7), " + ");
  std::vector<std::string> listed;
  const TestPackage bundle = described(parts[0], &listed);
  std::vector<TestPackage> members;
  for (size_t i = 1; i < parts.size(); ++i) members.push_back(described(parts[i]));
  return bundle_bytes(bundle.group, members, listed);
}

// The case's lines of `key`, each ended by a newline.
std::string lines(const TestCase& c, const std::string& key) {
  std::string text;
  for (const std::string& line : c.list(key)) text += unescaped(line) + "\n";
  return text;
}

TEST_F(UpgradeRun, EveryScenarioEndsAsItsCaseTells) {
  for (const TestCase& c : read_cases("installer/testdata/scenarios.txt",
                                      {"installed*", "put*", "args?", "stdin?", "status", "out*",
                                       "err*", "log*", "records*", "file*", "absent*", "tree*"})) {
    SCOPED_TRACE(c.label());
    std::vector<std::string> installed;
    for (const std::string& text : c.list("installed")) installed.push_back(described_bytes(text));
    install_first(installed);
    for (const std::string& line : c.list("put")) {
      const size_t at = line.find(" = ");
      const std::string path = (line[0] == '/' ? "" : DOWNLOAD) + line.substr(0, at);
      const std::string what = line.substr(at + 3);
      if (what.rfind("link ", 0) == 0) {
        ASSERT_EQ(::symlink(what.c_str() + 5, host_path(path).c_str()), 0) << path;
      } else {
        write_file(path, described_bytes(what));
      }
    }
    const std::string before = tree("/");
    const int status = std::atoi(c.text("status").c_str());
    const RunResult run = c.values.count("stdin") != 0
                              ? stream(described_bytes(c.text("stdin")), c.list("args"))
                              : run_installer(c.list("args"));
    EXPECT_EQ(run.status, status) << run.out;
    for (const auto& [key, text] :
         {std::pair{"out", run.out}, {"err", run.err}, {"tree", tree("/flash")}}) {
      if (c.values.count(key) != 0) {
        EXPECT_EQ(text, lines(c, key)) << key;
      }
    }
    EXPECT_EQ(postlog(), lines(c, "log"));
    remove("/flash/postlog");
    if (status != 0) {
      EXPECT_EQ(tree("/"), before);  // a failed run leaves the root as it was
    }
    EXPECT_EQ(loaded_records(), lines(c, "records"));
    for (const std::string& line : c.list("file")) {
      const size_t at = line.find(" = ");
      EXPECT_EQ(read_file(line.substr(0, at)), unescaped(line.substr(at + 3))) << line;
    }
    for (const std::string& text : c.list("absent")) {
      EXPECT_EQ(tree("/flash").find(text), std::string::npos) << text;
    }
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

}  // namespace
