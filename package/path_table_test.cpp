#include "package/path_table.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>

#include "package/path_set.h"

namespace {

std::vector<std::pair<std::string, std::string>> contents(const PathTable& table) {
  std::vector<std::pair<std::string, std::string>> entries;
  for (const PathTable::Entry entry : table) entries.emplace_back(entry.path, entry.value);
  return entries;
}

}  // namespace

// Every change, in sorted, reversed and random order, against std::map: paths that share
// long prefixes, are prefixes of each other, are empty or hold NUL or high bytes; values from empty
// to longer than a block, replaced by longer, shorter and same-sized ones; erases of firsts, lasts
// and whole blocks.
TEST(PathTable, AgreesWithAMapThroughEveryChange) {
  std::mt19937 random(7);
  const std::string stems[] = {"/flash/usr/lib/",
                               "/flash/usr/lib/x/",
                               "/flash/etc/",
                               "/a",
                               std::string("/n\0ul", 5),
                               "",
                               "/caf\xC3\xA9/",
                               "/cafe/"};
  const char letters[] = "0123\x7F\x80\xFF";
  auto any_path = [&] {
    std::string path = stems[random() % 8];
    const unsigned length = random() % 4;
    for (unsigned i = 0; i < length; ++i) path += letters[random() % 7];
    return path;
  };
  auto any_value = [&] {
    const unsigned kinds[] = {0, 1, 17, 17, 40, 3000};
    return std::string(kinds[random() % 6], static_cast<char>('a' + random() % 26));
  };
  for (int order = 0; order < 3; ++order) {
    PathTable table;
    std::map<std::string, std::string> expected;
    std::vector<std::string> paths;
    for (int i = 0; i < 3000; ++i) paths.push_back(any_path());
    if (order == 0) std::sort(paths.begin(), paths.end());
    if (order == 1) std::sort(paths.rbegin(), paths.rend());
    for (size_t step = 0; step < paths.size(); ++step) {
      const std::string& path = paths[step];
      if (random() % 5 == 0) {
        EXPECT_EQ(table.erase(path), expected.erase(path) == 1) << path;
      } else {
        const std::string value = any_value();
        table.put(path, value);
        expected[path] = value;
      }
      const auto found = table.find(path);
      ASSERT_EQ(found.has_value(), expected.count(path) == 1) << order << " " << step;
      if (found) {
        EXPECT_EQ(*found, expected[path]);
      }
      ASSERT_EQ(table.size(), expected.size());
      if (step % 97 == 0 || step + 1 == paths.size()) {
        ASSERT_EQ(contents(table), (std::vector<std::pair<std::string, std::string>>(
                                       expected.begin(), expected.end())))
            << order << " " << step;
      }
    }
    while (!expected.empty()) {  // emptied from the front, the back and the middle
      const std::string victim =
          std::next(expected.begin(), static_cast<long>(random() % expected.size()))->first;
      ASSERT_TRUE(table.erase(victim));
      expected.erase(victim);
      ASSERT_FALSE(table.find(victim).has_value());
      ASSERT_EQ(table.size(), expected.size());
      if (expected.size() % 50 == 0) {
        ASSERT_EQ(contents(table), (std::vector<std::pair<std::string, std::string>>(
                                       expected.begin(), expected.end())));
      }
    }
    EXPECT_TRUE(table.empty());
    EXPECT_EQ(table.begin(), table.end());
    EXPECT_FALSE(table.find("/a").has_value());
  }
}

// A package's files, in the order its archive lists them, cost a few bytes beyond what
// sets each path apart, and come back sorted and once each.
TEST(PathTable, FilesOfAPackageStayCompact) {
  PathSet files;
  std::vector<std::string> listed;
  for (int dir = 0; dir < 100; ++dir) {
    for (int file = 0; file < 20; ++file) {
      char path[64];
      std::snprintf(path, sizeof path, "/opt/bench/d%02d/f%04d.bin", dir, dir * 20 + file);
      listed.push_back(path);
    }
  }
  for (const std::string& path : listed) files.insert(path);
  files.insert(listed[5]);
  EXPECT_EQ(files.size(), listed.size());
  EXPECT_TRUE(files.contains(listed[1999]) && !files.contains("/opt/bench/d00"));
  std::vector<std::string> read;
  for (const std::string& path : files) read.push_back(path);
  EXPECT_EQ(read, listed);
  PathTable table;
  for (const std::string& path : listed) table.put(path, "");
  EXPECT_LT(table.memory_bytes(), listed.size() * 12);
  // Reversed, every insert splits or shifts a block: half-full blocks at worst.
  PathTable reversed;
  for (auto path = listed.rbegin(); path != listed.rend(); ++path) reversed.put(*path, "");
  EXPECT_LT(reversed.memory_bytes(), listed.size() * 24);
}
