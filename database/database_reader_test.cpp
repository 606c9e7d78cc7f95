#include "database/database_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <iostream>
#include <sstream>

#include "format/package_reader.h"
#include "package/repository.h"
#include "testing/case_file.h"
#include "testing/root_fixture.h"
#include "testing/test_packages.h"

namespace {

// One line per record, every field by name; fields at their defaults are left out.
std::string record_line(const Package& package, RecordDetail detail = RecordDetail::full) {
  std::ostringstream line;
  line << package.name << " v=" << package.version << " t=" << package.build_time;
  if (!package.note.empty()) line << " note=" << package.note;
  if (package.disabled) line << " disabled";
  if (!package.bundle.name.empty()) {
    line << " from=" << package.bundle.name << ":" << package.bundle.min << ":"
         << package.bundle.max;
  }
  if (detail == RecordDetail::table) return line.str();
  if (package.action != ACTION_NONE) line << " action=" << action_name(package.action);
  if (package.user_forced) line << " forced";
  if (package.is_bundle) line << " is_bundle";
  if (!package.architecture.empty()) line << " arch=" << package.architecture;
  const std::pair<const char*, const std::vector<Dependency>*> lists[] = {
      {" deps", &package.depends},
      {" provides", &package.provides},
      {" conflicts", &package.conflicts}};
  for (const auto& [label, list] : lists) {
    if (!list->empty()) line << label;
    for (const Dependency& entry : *list) {
      line << " " << entry.name << ":" << entry.min << ":" << entry.max << ":" << entry.weight;
    }
  }
  for (const std::string& file : package.files) line << " " << file;
  return line.str();
}

class DatabaseLoading : public RootFixture {
 protected:
  // The loaded records in load order, one line each; a load for the table must agree on
  // what the table shows.
  RunResult load() {
    return run_in_root([] {
      std::string table[2];
      for (const RecordDetail detail : {RecordDetail::full, RecordDetail::table}) {
        Repository repository;
        (void)open_repository(repository, "ppc", detail);
        if (repository.architecture != "ppc") return 1;
        for (const auto& package : repository.packages()) {
          if (detail == RecordDetail::full) std::cout << record_line(*package) << "\n";
          table[int(detail)] += record_line(*package, RecordDetail::table) + "\n";
        }
      }
      return table[0] == table[1] ? 0 : 2;
    });
  }
  // The same in name order: the directory listing's order is the file system's.
  std::vector<std::string> load_sorted() {
    const RunResult run = load();
    EXPECT_EQ(run.status, 0);
    std::istringstream lines(run.out);
    std::vector<std::string> sorted;
    for (std::string line; std::getline(lines, line);) sorted.push_back(line);
    std::sort(sorted.begin(), sorted.end());
    return sorted;
  }
  void entry(const std::string& name, const std::string& file, const std::string& text) {
    write_file("/flash/var/pdb/" + name + "/" + file, text);
  }
};

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
  return written(writer);
}

}  // namespace

TEST_F(DatabaseLoading, TextFormTrees) {
  const auto below_pdb = [](const std::string& path) {
    return path[0] == '/' ? path : "/flash/var/pdb/" + path;
  };
  for (const TestCase& c :
       read_cases("database/testdata/records.txt", {"file*", "dir*", "link*", "loaded*"})) {
    SCOPED_TRACE(c.label());
    reset_root();
    for (const std::string& item : c.list("file")) {
      const size_t at = item.find(" =");
      std::string text = item.substr(std::min(at + 3, item.size()));
      for (size_t n; (n = text.find("\\n")) != std::string::npos;) text.replace(n, 2, "\n");
      write_file(below_pdb(item.substr(0, at)), text);
    }
    for (const std::string& item : c.list("dir")) make_dirs(below_pdb(item));
    for (const std::string& item : c.list("link")) {
      const size_t at = item.find(" -> ");
      ASSERT_EQ(
          ::symlink(item.substr(at + 4).c_str(), host_path(below_pdb(item.substr(0, at))).c_str()),
          0);
    }
    EXPECT_EQ(load_sorted(), c.list("loaded"));
  }
  EXPECT_EQ(schedule_key("my_pkg.2"), "mypkg2");
  EXPECT_EQ(schedule_key("Wifi-Ext 5"), "Wifi-Ext5");
  EXPECT_EQ(schedule_key("\xc3\xa9t\xc3\xa9"), "t");
}

// Lines across several buffer fills, the last one cut; duplicates count once; a line no
// path could be is left out: the longest kept is a path of PATH_MAX - 1 bytes with its "/".
TEST_F(DatabaseLoading, LongFileListsAndLongLines) {
  const std::string longest(PATH_MAX - 2, 'z');
  std::string many =
      "bin/x\n\nbin/x\n/" + std::string(PATH_MAX, 'l') + "\n" + longest + "\n" + longest + "z\n";
  std::vector<std::string> paths = {"/bin/last", "/bin/x", "/" + longest};
  for (int i = 0; i < 600; ++i) {
    many += "bin/f" + std::to_string(i) + "\n";
    paths.push_back("/bin/f" + std::to_string(i));
  }
  std::sort(paths.begin(), paths.end());  // the loaded list is in byte order
  std::string loaded = "cut v=12 t=0 action=uninstall";
  for (const std::string& path : paths) loaded += " " + path;
  entry("cut", "version", "12");
  entry("cut", "files", many + "bin/last");
  EXPECT_EQ(load_sorted(), std::vector<std::string>{loaded});
}

TEST_F(DatabaseLoading, ImagesGiveRecordsAndRenamedImagesGiveTwo) {
  HeaderGroup x = header_group("x", 0x01026600, 50);
  x.architecture = "mipsbe";  // not read from images
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
  entry("x", "image", written(writer));
  entry("x", "version", "9 9\n");  // text form is not read beside an image
  entry("x", "disabled", "auto\n");

  HeaderGroup renamed = header_group("new", 0x02006600, 60);
  renamed.provides = std::vector<Dependency>{{"dns", 1, 2, 7}};
  renamed.note = "renamed";
  entry("old", "image", image_of({renamed}));
  entry("old", "version", "5 6\n");
  entry("old", "files", "bin/old\n");
  entry("new", "enabled", "user\n");
  EXPECT_EQ(load_sorted(),
            (std::vector<std::string>{
                "new v=33580544 t=60 note=renamed forced arch=i386 provides dns:1:2:7",
                "old v=5 t=6 /bin/old",
                "x v=16934400 t=50 disabled arch=i386",
            }));
}

TEST_F(DatabaseLoading, BundleImageGivesMembersThenBundleAndSecondPlaceImages) {
  entry("suite", "image",
        image_of({header_group("suite", 0x03006600, 70, true), header_group("m1", 0x01006600, 1),
                  header_group("m2", 0x02006600, 2)}));
  entry("m2", "disabled", "user\n");
  make_dirs("/flash/var/pdb/extra");
  write_file("/rw/pckg/.images/extra", image_of({header_group("extra", 0x05006600, 5)}));
  const RunResult run = load();
  ASSERT_EQ(run.status, 0);
  EXPECT_EQ(run.out,
            "m1 v=16803328 t=1 from=suite:50357760:50357760 arch=i386\n"
            "m2 v=33580544 t=2 disabled from=suite:50357760:50357760 forced arch=i386\n"
            "suite v=50357760 t=70 is_bundle arch=i386\n"
            "extra v=83912192 t=5 arch=i386\n");
}

// Unreadable or hostile images fall back to the text form; images that break off keep what
// was read.
TEST_F(DatabaseLoading, BrokenOrHostileImages) {
  entry("empty", "image", "");
  entry("empty", "version", "1 2\n");
  entry("cut", "image", image_of({header_group("cut", 0x01006600, 3)}).substr(0, 20));
  entry("cut", "version", "3 4\n");
  // A header naming a path outside the database must not be trusted.
  PackageWriter hostile;
  hostile.add_part(PART_PACKAGE_HEADER, encode_header("..", 0x01006600, 0));
  entry("evil", "image", written(hostile));
  entry("evil", "version", "5 6\n");
  // A dependency list that counts more entries than it holds.
  std::string broken_list = encode_list({{"base", 1, 0, 0}});
  broken_list[0] = 3;
  PackageWriter single;
  single.add_part(PART_PACKAGE_HEADER, encode_header("lst", 0x01006600, 9));
  single.add_part(PART_DEPENDS, broken_list);
  single.add_archive({});
  entry("lst", "image", written(single));

  PackageWriter bundle;
  bundle.add_header_group(header_group("suite", 0x03006600, 70, true));
  bundle.add_part(PART_PACKAGE_HEADER, encode_header("m1", 0x01006600, 1));
  bundle.add_part(PART_NOTE, std::string(MAX_TEXT_PART + 1, 'n'));
  bundle.add_part(PART_DEPENDS, encode_list({{"lost", 0, 0, 0}}));
  bundle.add_signature(std::string(68, '\0'));
  bundle.add_part(PART_PACKAGE_HEADER, encode_header("m2", 0x02006600, 2));
  bundle.add_part(PART_PACKAGE_HEADER, encode_header("..", 0x02006600, 2));
  bundle.add_part(PART_PACKAGE_HEADER, encode_header("m3", 0x02006600, 2));
  entry("suite", "image", written(bundle));

  // Neither a link nor a directory where the image belongs is a package's image, and no
  // header may name a link for its record's directory.
  write_file("/flash/etc/version", "1 1\n");
  ASSERT_EQ(::symlink("/flash/etc", host_path("/flash/var/pdb/link").c_str()), 0);
  entry("other", "image", image_of({header_group("link", 0x01006600, 9)}));
  make_dirs("/flash/var/pdb/dir/image");
  entry("dir", "version", "7 8\n");
  const std::string from = " from=suite:50357760:50357760";
  EXPECT_EQ(load_sorted(), (std::vector<std::string>{
                               "cut v=3 t=4 is_bundle",
                               "dir v=7 t=8 is_bundle",
                               "empty v=1 t=2 is_bundle",
                               "evil v=5 t=6 is_bundle",
                               "lst v=16803328 t=9 arch=i386",
                               "m1 v=16803328 t=1" + from + " arch=i386",
                               "m2 v=33580544 t=2" + from + " arch=i386",
                               "other v=0 t=0 action=uninstall is_bundle",
                               "suite v=50357760 t=70 is_bundle arch=i386",
                           }));
}
