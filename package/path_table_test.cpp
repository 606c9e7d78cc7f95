#include "package/path_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>

#include "package/path_set.h"

namespace {

// The entries in iteration order.
template <class Table>
std::vector<std::pair<std::string, std::string>> contents(const Table& table) {
  std::vector<std::pair<std::string, std::string>> entries;
  for (const auto& [path, value] : table) entries.emplace_back(path, value);
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
      const auto kept = expected.find(path);
      ASSERT_EQ(table.find(path),
                kept == expected.end() ? std::nullopt : std::optional<std::string>(kept->second))
          << order << " " << step;
      ASSERT_EQ(table.size(), expected.size());
      if (step % 97 == 0 || step + 1 == paths.size()) {
        ASSERT_EQ(contents(table), contents(expected)) << order << " " << step;
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
        ASSERT_EQ(contents(table), contents(expected));
      }
    }
    EXPECT_TRUE(table.empty());
    EXPECT_EQ(table.begin(), table.end());
    EXPECT_FALSE(table.find("/a").has_value());
  }
}

// A package's files cost a few bytes beyond what sets each path apart, whatever the order
// they come in and however long the directory they share, and come back sorted and once
// each. Out of order, blocks split: half full at worst.
TEST(PathTable, FilesOfAPackageStayCompact) {
  struct Case {
    size_t prefix;  // bytes of the directory every path shares
    int order;      // 0 as listed, 1 reversed, 2 shuffled
    size_t bytes_per_path;
    size_t min_blocks;
  } cases[] = {{0, 0, 12, 20},   {0, 1, 16, 40},   {0, 2, 18, 30},
               {300, 0, 22, 15}, {300, 1, 30, 30}, {3000, 2, 50, 4}};
  for (const Case& c : cases) {
    std::vector<std::string> listed;
    for (int dir = 0; dir < 100; ++dir) {
      for (int file = 0; file < 20; ++file) {
        char name[64];
        std::snprintf(name, sizeof name, "/opt/bench/d%02d/f%04d.bin", dir, dir * 20 + file);
        listed.push_back(std::string(c.prefix, 'p') + name);
      }
    }
    std::vector<std::string> offered = listed;
    if (c.order == 1) std::reverse(offered.begin(), offered.end());
    if (c.order == 2) std::shuffle(offered.begin(), offered.end(), std::mt19937(3));
    PathSet files;
    for (const std::string& path : offered) files.insert(path);
    files.insert(listed[5]);
    EXPECT_EQ(files.size(), listed.size());
    EXPECT_TRUE(files.contains(listed[1999]) && !files.contains(listed[0] + "/"));
    std::vector<std::string> read;
    for (const std::string& path : files) read.push_back(path);
    EXPECT_EQ(read, listed) << c.prefix << " " << c.order;
    PathTable table;
    for (const std::string& path : offered) table.put(path, "");
    EXPECT_LT(table.memory_bytes(), c.prefix + listed.size() * c.bytes_per_path)
        << c.prefix << " " << c.order;
    EXPECT_GE(table.blocks(), c.min_blocks) << c.prefix << " " << c.order;
  }
}

// A path as long as a path may be costs its length a few times at most: as a block's key and
// first entry, and while a search passes it; and nothing once it is gone.
TEST(PathTable, ALongPathCostsLittleMore) {
  const std::string huge(4000, 'h');
  PathTable table;
  table.put(huge, "v");
  for (int i = 2000; i > 0; --i) table.put("i" + std::to_string(i), "");  // all after it
  EXPECT_EQ(table.find(huge), "v");
  EXPECT_LT(table.memory_bytes(), 4 * huge.size() + 2000 * 16);
  EXPECT_TRUE(table.erase(huge));
  EXPECT_FALSE(table.find(huge).has_value());
  EXPECT_EQ(table.find("i1999"), "");
  EXPECT_LT(table.memory_bytes(), 2000 * 16u);
  EXPECT_EQ(table.size(), 2000u);
}
