// Hostile-input sweeps: a signed package and a signed bundle cut at every byte, and with a
// bit flipped in every byte, fed to a whole stream install and to an upgrade; and the same
// on a flash that fills up at each successive write. Each run either fails and leaves
// everything as it was, or installs exactly what the undamaged file installs.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <iostream>
#include <sstream>
#include <tuple>

#include "database/database_reader.h"
#include "installer/run_modes.h"
#include "package/console.h"
#include "package/repository.h"
#include "testing/test_packages.h"
#include "testing/whole_run.h"

namespace {

namespace fs = std::filesystem;

const Version V716 = make_version(7, 16, KIND_FINAL, 0);

struct Offer {
  std::string name;
  std::string bytes;
  bool kept_whole;  // the file becomes "/flash/var/pdb/<name>/image"
  // Bytes before this offset are signed by nobody: a bundle's own header group, image part
  // and member list come before its first member, where every signed range begins.
  size_t signed_from = 0;
};

std::vector<Offer> offers() {
  TestPackage single = test_package("single", V716);
  single.files = {file_entry("etc/one", "1"), file_entry("bin/two", "22", 0755)};
  single.trailer = true;
  // Two members: a source that ends where the second begins is a cut, not a smaller bundle.
  const HeaderGroup suite = header_group("suite", V716);
  const std::vector<std::string> listed = {"m", "n"};
  const std::string bundle =
      bundle_bytes(suite, {with_files("m", V716, {"etc/m"}), test_package("n", V716)}, listed);
  return {{"single", package_bytes(single), false},
          {"suite", bundle, true, bundle_bytes(suite, {}, listed).size()}};
}

// Every entry below the flash, RAM and temporary folders but the staging directory, with each
// file's size, mode and a hash of all its bytes; and the download folder's names.
std::string state() {
  std::ostringstream text;
  for (const char* top : {"/flash", "/ram", "/tmp", "/rw"}) {
    std::error_code error;
    std::vector<std::string> lines;
    for (auto it = fs::recursive_directory_iterator(top, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
      struct stat info;
      // The staging directory stays; a file left in it shows.
      if (::lstat(it->path().c_str(), &info) != 0 || it->path().filename() == ".staging") continue;
      std::string line = it->path().string() + " " + std::to_string(info.st_mode);
      if (S_ISREG(info.st_mode) && std::string(top) != "/rw") {
        const std::string bytes = file_text(it->path());
        line += " " + std::to_string(bytes.size()) + " " +
                std::to_string(std::hash<std::string>()(bytes));
      } else if (S_ISLNK(info.st_mode)) {
        line += " -> " + fs::read_symlink(it->path(), error).string();
      }
      lines.push_back(line);
    }
    std::sort(lines.begin(), lines.end());
    for (const std::string& line : lines) text << line << "\n";
  }
  return text.str();
}

void empty_root() {
  for (const char* top : {"/flash", "/ram", "/tmp", "/rw"}) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(top, error))
      fs::remove_all(entry.path(), error);
  }
  fs::create_directories("/flash/var/pdb");
  fs::create_directories("/rw/pckg/.download");
}

// One whole run on `bytes` (standard input, or the download folder) in an empty root;
// answers the state it leaves, without the post log. `refused` tells whether the state is
// the one before the run.
std::string run_once(const std::string& bytes, bool stream, bool& refused, int& status) {
  empty_root();
  if (!stream) put_file("/rw/pckg/.download/offer.vmp", bytes);
  const std::string before = state();
  Console console(std::cout);
  console.quiet = true;
  Repository repository;
  (void)open_repository(repository, "i386");
  RunOptions options;
  options.quiet = true;
  if (stream) {
    std::istringstream in(bytes);
    status = stream_mode(console, repository, options, in);
  } else {
    status = upgrade_mode(console, repository, options);
  }
  ::unlink("/flash/postlog");
  const std::string after = state();
  refused = after == before;
  return after;
}

using Sweep = WholeRun;

// One offer in one mode per test, so that the runs spread over the cores.
class DamageSweep : public WholeRun, public ::testing::WithParamInterface<std::tuple<int, bool>> {};

TEST_P(DamageSweep, CutAtEveryByteOrWithABitFlippedInEveryByte) {
  SKIP_WITHOUT_SIGNING_KEYS();
  const Offer offer = offers()[size_t(std::get<0>(GetParam()))];
  const bool stream = std::get<1>(GetParam());
  const RunResult run = run_in_root([&offer, stream] {
    int refused_count = 0, installed_count = 0;
    bool refused = false;
    int status = 0;
    const std::string clean = run_once(offer.bytes, stream, refused, status);
    const std::string image = "/flash/var/pdb/" + offer.name + "/image";
    const auto check = [&](const std::string& damaged, const std::string& label,
                           bool unsigned_byte) {
      bool nothing_changed = false;
      int status = 0;
      std::string after = run_once(damaged, stream, nothing_changed, status);
      // On standard input the status tells success from failure; an upgrade reports its
      // failures in the post log.
      if (stream && (status == 0) == nothing_changed) {
        std::cout << label << ": status " << status << "\n";
      }
      if (nothing_changed) {
        ++refused_count;
        return;
      }
      if (unsigned_byte) {
        // Whatever it installs (a bundle renamed, a member no longer listed), it leaves no
        // file of its own behind.
        if (after.find("/tmp") != std::string::npos) {
          std::cout << label << ": left a temporary file\n" << after;
        }
        return;
      }
      ++installed_count;
      // Installed: as the undamaged file is, the damaged bytes kept as its image.
      if (offer.kept_whole) {
        if (file_text(image) != damaged) std::cout << label << ": another image kept\n";
        put_file(image, offer.bytes);
        after = state();
      }
      if (after != clean) std::cout << label << ": installed differently\n" << after;
    };
    for (size_t cut = 0; cut < offer.bytes.size(); ++cut) {
      check(offer.bytes.substr(0, cut), "cut at " + std::to_string(cut), false);
    }
    for (size_t at = 0; at < offer.bytes.size(); ++at) {
      std::string flipped = offer.bytes;
      flipped[at] = char(flipped[at] ^ (1 << (at % 8)));
      check(flipped, "flipped at " + std::to_string(at), at >= 8 && at < offer.signed_from);
    }
    // Most damage is refused; the bytes no check reads may change without harm.
    if (refused_count <= int(offer.bytes.size())) std::cout << "refused " << refused_count << "\n";
    if (installed_count == 0) std::cout << "installed none\n";
    return 0;
  });
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "");
}

INSTANTIATE_TEST_SUITE_P(OfferAndMode, DamageSweep,
                         ::testing::Combine(::testing::Values(0, 1), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<std::tuple<int, bool>>& info) {
                           return std::string(std::get<0>(info.param) == 0 ? "Package" : "Bundle") +
                                  (std::get<1>(info.param) ? "OnStdin" : "Downloaded");
                         });

TEST_F(Sweep, AFlashThatFillsUpAtEverySuccessiveWrite) {
  SKIP_WITHOUT_SIGNING_KEYS();
  require_mounts();
  TestPackage package = test_package("filler", V716);
  for (const char* name : {"a", "b", "c"}) {  // each file takes two blocks
    package.files.push_back(file_entry(std::string("data/") + name, noise(5000, name[0])));
  }
  package.image = "image part";
  const std::string bytes = package_bytes(package);
  // Runs both modes on a flash of `size` and prints each one's state after the run, and
  // "refused" for a run that changed nothing.
  const auto run_on = [&](const std::string& size) {
    ChildOptions options;
    options.mounts = {{"/flash", size}};
    return run_in_root(
        [&bytes] {
          for (const bool stream : {true, false}) {
            bool refused = false;
            int status = 0;
            const std::string after = run_once(bytes, stream, refused, status);
            // A refusal on standard input must say so in its status.
            if (refused && stream && status == 0) std::cout << "status 0 ";
            std::cout << (refused ? "refused\n" : after) << "=====\n";
          }
          return 0;
        },
        options);
  };
  const auto modes = [](const std::string& out) {
    const size_t split = out.find("=====\n");
    return std::make_pair(out.substr(0, split), out.substr(split + 6));
  };
  const auto clean = modes(run_on("1m").out);
  ASSERT_EQ((clean.first + clean.second).find("refused"), std::string::npos);
  int refused = 0;
  for (int pages = 1; pages <= 24; ++pages) {
    const RunResult run = run_on(std::to_string(4 * pages) + "k");
    EXPECT_EQ(run.status, 0);
    // Each mode refuses, leaving nothing, or installs what a roomy flash gets.
    const auto [stream, upgrade] = modes(run.out);
    EXPECT_TRUE(stream == "refused\n" || stream == clean.first) << pages << "\n" << stream;
    EXPECT_TRUE(upgrade == "refused\n=====\n" || upgrade == clean.second) << pages << "\n"
                                                                          << upgrade;
    refused += (stream == "refused\n") + (upgrade == "refused\n=====\n");
  }
  EXPECT_GT(refused, 10);
}

}  // namespace
