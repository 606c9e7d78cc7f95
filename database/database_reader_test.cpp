#include "database/database_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <iostream>
#include <sstream>

#include "format/package_reader.h"
#include "authoring/package_writer.h"
#include "installer/package_table.h"
#include "package/repository.h"
#include "testing/root_fixture.h"

namespace {

std::string list_text(const std::vector<Dependency>& list) {
  std::string text;
  for (const Dependency& entry : list) {
    text += " " + entry.name + ":" + std::to_string(entry.min) + ":" + std::to_string(entry.max) +
            ":" + std::to_string(entry.weight);
  }
  return text;
}

// One line per loaded record, printed by the child that loaded them.
int print_loaded_records() {
  Repository& repository = Repository::instance();
  open_repository(repository, false, "ppc");
  for (const auto& package : repository.packages) {
    std::cout << package->name << " v=" << package->version << " t=" << package->build_time
              << " action=" << package->action << " disabled=" << package->disabled
              << " forced=" << package->user_forced << " is_bundle=" << package->is_bundle
              << " arch=" << package->architecture;
    if (!package->bundle.name.empty()) {
      std::cout << " bundle=" << package->bundle.name << ":" << package->bundle.min << ":"
                << package->bundle.max;
    }
    if (!package->depends.empty()) std::cout << " deps" << list_text(package->depends);
    if (!package->provides.empty()) std::cout << " provides" << list_text(package->provides);
    if (!package->conflicts.empty()) std::cout << " conflicts" << list_text(package->conflicts);
    for (const std::string& file : package->files) std::cout << " " << file;
    std::cout << "\n";
  }
  return repository.architecture == "ppc" ? 0 : 1;
}

std::vector<std::string> sorted_lines(const std::string& text) {
  std::istringstream lines(text);
  std::vector<std::string> sorted;
  for (std::string line; std::getline(lines, line);) sorted.push_back(line);
  std::sort(sorted.begin(), sorted.end());
  return sorted;
}

class DatabaseLoading : public RootFixture {
 protected:
  RunResult load() { return run_in_root(print_loaded_records); }
  // The records in name order: the directory listing's order is the file system's.
  std::vector<std::string> load_sorted() {
    const RunResult run = load();
    EXPECT_EQ(run.status, 0);
    return sorted_lines(run.out);
  }
  void text_entry(const std::string& name, const std::string& version) {
    write_file("/flash/var/pdb/" + name + "/version", version);
  }
};

}  // namespace

TEST_F(DatabaseLoading, TextFormFieldsAndBrokenFilesScheduleUninstall) {
  text_entry("plain", "100 200\n");
  text_entry("full", "16909824  7\n");
  write_file("/flash/var/pdb/full/deps", "system 1 0\nlib\n5   9\n");
  write_file("/flash/var/pdb/full/provides", "dns 1 2 -3\n");
  write_file("/flash/var/pdb/full/conflicts", "");
  // Duplicates count once; a line no path could be is left out.
  write_file("/flash/var/pdb/full/files",
             "bin/x\n\n/etc/y\nbin/x\n/" + std::string(PATH_MAX, 'l') + "\n");
  text_entry("halfdeps", "1 1");
  write_file("/flash/var/pdb/halfdeps/deps", "a 1 2\nb 3\n");
  write_file("/flash/var/pdb/halfdeps/files", "");
  text_entry("member", "1 1");
  write_file("/flash/var/pdb/member/bundle", "suite\n");
  write_file("/flash/var/pdb/member/files", "");
  text_entry("noversion", "abc");
  write_file("/flash/var/pdb/noversion/files", "");

  EXPECT_EQ(load_sorted(), (std::vector<std::string>{
                               "full v=16909824 t=7 action=0 disabled=0 forced=0 is_bundle=0 arch= "
                               "deps system:1:0:0 lib:5:9:0 provides dns:1:2:-3 /bin/x /etc/y",
                               "halfdeps v=1 t=1 action=1 disabled=0 forced=0 is_bundle=0 arch= "
                               "deps a:1:2:0",
                               "member v=1 t=1 action=1 disabled=0 forced=0 is_bundle=0 arch= "
                               "bundle=suite:0:0",
                               "noversion v=0 t=0 action=1 disabled=0 forced=0 is_bundle=0 arch=",
                               "plain v=100 t=200 action=0 disabled=0 forced=0 is_bundle=1 arch=",
                           }));
}

TEST_F(DatabaseLoading, MarkersAndSchedules) {
  for (const char* name :
       {"auto", "user", "other", "empty", "both", "enabled", "my_pkg.2", "enable-me", "odd"}) {
    text_entry(name, "1 2\n");
    write_file(std::string("/flash/var/pdb/") + name + "/files", "");
  }
  write_file("/flash/var/pdb/auto/disabled", "auto\n");
  write_file("/flash/var/pdb/user/disabled", "user\n");
  write_file("/flash/var/pdb/other/disabled", "automatic\n");
  write_file("/flash/var/pdb/empty/disabled", "");
  write_file("/flash/var/pdb/both/disabled", "auto\n");
  write_file("/flash/var/pdb/both/enabled", "user\n");
  write_file("/flash/var/pdb/enabled/enabled", "");
  write_file("/ram/pdb/mypkg2/schedule", "  disable\n");
  write_file("/ram/pdb/enable-me/schedule", "enable");
  write_file("/ram/pdb/odd/schedule", "reinstall");
  write_file("/ram/pdb/auto/schedule", "uninstall extra words");

  const std::string tail = " is_bundle=0 arch=";
  EXPECT_EQ(load_sorted(), (std::vector<std::string>{
                               "auto v=1 t=2 action=1 disabled=1 forced=0" + tail,
                               "both v=1 t=2 action=0 disabled=1 forced=0" + tail,
                               "empty v=1 t=2 action=0 disabled=1 forced=1" + tail,
                               "enable-me v=1 t=2 action=2 disabled=0 forced=1" + tail,
                               "enabled v=1 t=2 action=0 disabled=0 forced=1" + tail,
                               "my_pkg.2 v=1 t=2 action=3 disabled=0 forced=1" + tail,
                               "odd v=1 t=2 action=0 disabled=0 forced=0" + tail,
                               "other v=1 t=2 action=0 disabled=1 forced=1" + tail,
                               "user v=1 t=2 action=0 disabled=1 forced=1" + tail,
                           }));
}

// What stands where a file is expected reads as opening and reading it would: a directory
// opens and reads as empty, links are followed, a cut file gives what it holds.
TEST_F(DatabaseLoading, HostileFilesReadAsOpeningThemWould) {
  make_dirs("/flash/var/pdb/dirversion/version");
  text_entry("dirmarker", "1 1\n");
  make_dirs("/flash/var/pdb/dirmarker/disabled");
  make_dirs("/flash/var/pdb/dirmarker/files");
  text_entry("linked", "2 2\n");
  write_file("/flash/etc/deps", "base 1 0\n");
  ASSERT_EQ(::symlink("/flash/etc/deps", host_path("/flash/var/pdb/linked/deps").c_str()), 0);
  ASSERT_EQ(::symlink("/gone", host_path("/flash/var/pdb/linked/files").c_str()), 0);
  text_entry("cut", "12");
  std::string many;  // lines across several buffer fills, the last one cut
  for (int i = 0; i < 600; ++i) many += "bin/f" + std::to_string(i) + "\n";
  write_file("/flash/var/pdb/cut/files", many + "bin/last");
  // A name without a letter or digit has the empty key: "/ram/pdb//schedule".
  text_entry("__", "3 3\n");
  write_file("/ram/pdb/schedule", "disable\n");

  const std::vector<std::string> records = load_sorted();
  ASSERT_EQ(records.size(), 5u);
  EXPECT_EQ(records[0], "__ v=3 t=3 action=3 disabled=0 forced=1 is_bundle=1 arch=");
  const std::string cut = "cut v=12 t=0 action=1 disabled=0 forced=0 is_bundle=0 arch= /bin/f0 ";
  EXPECT_EQ(records[1].substr(0, cut.size()), cut);
  EXPECT_EQ(std::count(records[1].begin(), records[1].end(), ' '), 7 + 601);
  EXPECT_EQ(records[1].substr(records[1].size() - 10), " /bin/last");
  EXPECT_EQ(records[2], "dirmarker v=1 t=1 action=0 disabled=1 forced=1 is_bundle=0 arch=");
  EXPECT_EQ(records[3], "dirversion v=0 t=0 action=1 disabled=0 forced=0 is_bundle=1 arch=");
  EXPECT_EQ(records[4],
            "linked v=2 t=2 action=0 disabled=0 forced=0 is_bundle=1 arch= deps base:1:0:0");
}

TEST_F(DatabaseLoading, DotEntriesAndPlainFilesAreNotPackages) {
  text_entry(".hidden", "1 1");
  write_file("/flash/var/pdb/image", "left over by an interrupted stream install");
  write_file("/flash/var/pdb/stray", "");
  EXPECT_TRUE(load_sorted().empty());
}

TEST(ScheduleKey, KeepsLettersDigitsAndDashes) {
  EXPECT_EQ(schedule_key("my_pkg.2"), "mypkg2");
  EXPECT_EQ(schedule_key("Wifi-Ext 5"), "Wifi-Ext5");
  EXPECT_EQ(schedule_key("\xc3\xa9t\xc3\xa9"), "t");
}

namespace {

HeaderGroup header(const std::string& name, Version version, uint32_t build_time) {
  HeaderGroup group;
  group.name = name;
  group.version = version;
  group.build_time = build_time;
  return group;
}

// A container of header groups (a bundle's members after its own group), each signed
// with dummy bytes: the loader reads headers only.
std::string image_of(const std::vector<HeaderGroup>& groups) {
  PackageWriter writer;
  for (const HeaderGroup& group : groups) {
    writer.add_header_group(group);
    if (group.is_bundle) {
      writer.add_image();
      writer.add_bundle_list({});
    } else {
      writer.add_archive({});
      writer.add_signature(std::string(68, '\0'));
    }
  }
  std::ostringstream out;
  EXPECT_TRUE(writer.write(out)) << writer.error();
  return out.str();
}

}  // namespace

TEST_F(DatabaseLoading, ImagesGiveRecordsAndRenamedImagesGiveTwo) {
  HeaderGroup x = header("x", 0x01026600, 50);
  x.architecture = "mipsbe";  // not read from images
  {
    // A full package with its trailer; the empty list part after the signature is not
    // the dependency list the group lacks.
    PackageWriter writer;
    writer.add_digest_selector();
    writer.add_header_group(x);
    writer.add_image("kernel");
    writer.add_archive({{MODE_REGULAR_FILE | 0644, 0, "etc/x", "contents", ""}});
    writer.add_signature(std::string(132, '\0'));
    writer.add_part(PART_ARCHITECTURE, "mipsbe");
    writer.add_part(PART_DEPENDS, "");
    std::ostringstream bytes;
    ASSERT_TRUE(writer.write(bytes)) << writer.error();
    write_file("/flash/var/pdb/x/image", bytes.str());
  }
  write_file("/flash/var/pdb/x/version", "9 9\n");  // text form is not read beside an image
  write_file("/flash/var/pdb/x/disabled", "auto\n");

  HeaderGroup renamed = header("new", 0x02006600, 60);
  renamed.provides = std::vector<Dependency>{{"dns", 1, 2, 7}};
  write_file("/flash/var/pdb/old/image", image_of({renamed}));
  write_file("/flash/var/pdb/old/version", "5 6\n");
  write_file("/flash/var/pdb/old/files", "bin/old\n");
  write_file("/flash/var/pdb/new/enabled", "user\n");

  EXPECT_EQ(load_sorted(),
            (std::vector<std::string>{
                "new v=33580544 t=60 action=0 disabled=0 forced=1 is_bundle=0 arch=i386 "
                "provides dns:1:2:7",
                "old v=5 t=6 action=0 disabled=0 forced=0 is_bundle=0 arch= /bin/old",
                "x v=16934400 t=50 action=0 disabled=1 forced=0 is_bundle=0 arch=i386",
            }));
}

TEST_F(DatabaseLoading, BundleImageGivesMembersThenBundleAndSecondPlaceImages) {
  HeaderGroup suite = header("suite", 0x03006600, 70);
  suite.is_bundle = true;
  write_file("/flash/var/pdb/suite/image",
             image_of({suite, header("m1", 0x01006600, 1), header("m2", 0x02006600, 2)}));
  write_file("/flash/var/pdb/m2/disabled", "user\n");
  make_dirs("/flash/var/pdb/extra");
  write_file("/rw/pckg/.images/extra", image_of({header("extra", 0x05006600, 5)}));

  const RunResult run = load();
  ASSERT_EQ(run.status, 0);
  EXPECT_EQ(run.out,
            "m1 v=16803328 t=1 action=0 disabled=0 forced=0 is_bundle=0 arch=i386 "
            "bundle=suite:50357760:50357760\n"
            "m2 v=33580544 t=2 action=0 disabled=1 forced=1 is_bundle=0 arch=i386 "
            "bundle=suite:50357760:50357760\n"
            "suite v=50357760 t=70 action=0 disabled=0 forced=0 is_bundle=1 arch=i386\n"
            "extra v=83912192 t=5 action=0 disabled=0 forced=0 is_bundle=0 arch=i386\n");
}

TEST_F(DatabaseLoading, UnreadableOrHostileImagesFallBackToTheTextForm) {
  write_file("/flash/var/pdb/empty/image", "");
  write_file("/flash/var/pdb/empty/version", "1 2\n");
  const std::string good = image_of({header("cut", 0x01006600, 3)});
  write_file("/flash/var/pdb/cut/image", good.substr(0, 20));
  write_file("/flash/var/pdb/cut/version", "3 4\n");
  // A header naming a path outside the database must not be trusted.
  PackageWriter hostile;
  hostile.add_part(PART_PACKAGE_HEADER, encode_header("..", 0x01006600, 0));
  std::ostringstream hostile_bytes;
  ASSERT_TRUE(hostile.write(hostile_bytes));
  write_file("/flash/var/pdb/evil/image", hostile_bytes.str());
  write_file("/flash/var/pdb/evil/version", "5 6\n");

  EXPECT_EQ(load_sorted(), (std::vector<std::string>{
                               "cut v=3 t=4 action=0 disabled=0 forced=0 is_bundle=1 arch=",
                               "empty v=1 t=2 action=0 disabled=0 forced=0 is_bundle=1 arch=",
                               "evil v=5 t=6 action=0 disabled=0 forced=0 is_bundle=1 arch=",
                           }));
}

TEST_F(DatabaseLoading, ImagesThatBreakOffKeepWhatWasRead) {
  // A dependency list that counts more entries than it holds.
  std::string broken_list = encode_list({{"base", 1, 0, 0}});
  broken_list[0] = 3;
  PackageWriter single;
  single.add_part(PART_PACKAGE_HEADER, encode_header("lst", 0x01006600, 9));
  single.add_part(PART_DEPENDS, broken_list);
  single.add_archive({});
  std::ostringstream single_bytes;
  ASSERT_TRUE(single.write(single_bytes));
  write_file("/flash/var/pdb/lst/image", single_bytes.str());

  HeaderGroup suite = header("suite", 0x03006600, 70);
  suite.is_bundle = true;
  PackageWriter bundle;
  bundle.add_header_group(suite);
  bundle.add_part(PART_PACKAGE_HEADER, encode_header("m1", 0x01006600, 1));
  bundle.add_part(PART_NOTE, std::string(MAX_TEXT_PART + 1, 'n'));
  bundle.add_part(PART_DEPENDS, encode_list({{"lost", 0, 0, 0}}));
  bundle.add_signature(std::string(68, '\0'));
  bundle.add_part(PART_PACKAGE_HEADER, encode_header("m2", 0x02006600, 2));
  bundle.add_part(PART_PACKAGE_HEADER, encode_header("..", 0x02006600, 2));
  bundle.add_part(PART_PACKAGE_HEADER, encode_header("m3", 0x02006600, 2));
  std::ostringstream bundle_bytes;
  ASSERT_TRUE(bundle.write(bundle_bytes));
  write_file("/flash/var/pdb/suite/image", bundle_bytes.str());

  // Neither a link nor a directory where the image belongs is a package's image, and no
  // header may name a link for its record's directory.
  write_file("/flash/etc/version", "1 1\n");
  ASSERT_EQ(::symlink("/flash/etc", host_path("/flash/var/pdb/link").c_str()), 0);
  write_file("/flash/var/pdb/other/image", image_of({header("link", 0x01006600, 9)}));
  make_dirs("/flash/var/pdb/dir/image");
  write_file("/flash/var/pdb/dir/version", "7 8\n");

  const std::string ref = " bundle=suite:50357760:50357760";
  EXPECT_EQ(load_sorted(),
            (std::vector<std::string>{
                "dir v=7 t=8 action=0 disabled=0 forced=0 is_bundle=1 arch=",
                "lst v=16803328 t=9 action=0 disabled=0 forced=0 is_bundle=0 arch=i386",
                "m1 v=16803328 t=1 action=0 disabled=0 forced=0 is_bundle=0 arch=i386" + ref,
                "m2 v=33580544 t=2 action=0 disabled=0 forced=0 is_bundle=0 arch=i386" + ref,
                "other v=0 t=0 action=1 disabled=0 forced=0 is_bundle=1 arch=",
                "suite v=50357760 t=70 action=0 disabled=0 forced=0 is_bundle=1 arch=i386",
            }));
}

TEST_F(DatabaseLoading, BundleImagesStopAtTheMemberLimit) {
  HeaderGroup suite = header("suite", 0x03006600, 70);
  suite.is_bundle = true;
  PackageWriter bundle;
  bundle.add_header_group(suite);
  for (size_t i = 0; i <= MAX_BUNDLE_MEMBERS; ++i) {
    bundle.add_part(PART_PACKAGE_HEADER, encode_header("m" + std::to_string(i), 1, 2));
  }
  std::ostringstream bytes;
  ASSERT_TRUE(bundle.write(bytes));
  write_file("/flash/var/pdb/suite/image", bytes.str());
  const std::vector<std::string> records = load_sorted();
  ASSERT_EQ(records.size(), MAX_BUNDLE_MEMBERS + 1);
  EXPECT_EQ(records.back().substr(0, 6), "suite ");
}

// The table's load leaves out only what the table does not show.
TEST_F(DatabaseLoading, TableDetailPrintsTheTableOfAFullLoad) {
  text_entry("plain", "100 200\n");
  write_file("/flash/var/pdb/plain/deps", "a 1\n");
  write_file("/flash/var/pdb/plain/disabled", "auto\n");
  text_entry("member", "16909824 7\n");
  write_file("/flash/var/pdb/member/bundle", "suite\n");
  write_file("/flash/var/pdb/member/enabled", "");
  make_dirs("/flash/var/pdb/broken/version");
  write_file("/ram/pdb/plain/schedule", "enable");
  HeaderGroup image = header("img", 0x01026600, 5);
  image.note = "kept as its image";
  write_file("/flash/var/pdb/img/image", image_of({image}));

  const RunResult run = run_in_root([] {
    Repository& repository = Repository::instance();
    std::ostringstream full, table;
    open_repository(repository, true, "i386", RecordDetail::full);
    print_package_table(repository, full);
    repository.reset();
    open_repository(repository, true, "i386", RecordDetail::table);
    print_package_table(repository, table);
    std::cout << full.str();
    return full.str() == table.str() ? 0 : 1;
  });
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_NE(run.out.find("plain" + std::string(11, ' ') + " X  "), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("member" + std::string(10, ' ') + "  B "), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("kept as its image"), std::string::npos) << run.out;
}
