#include "installer/package_table.h"

#include <gtest/gtest.h>

#include <sstream>
#include <tuple>

#include "package/repository.h"

namespace {

std::string pad(const std::string& text, size_t width) {
  return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

const std::string HEADER =
    pad("Name", 16) + "    " + pad("Version", 13) + " " + pad("Built", 20) + pad("Note", 40) + "\n";
const std::string SEPARATOR = std::string(94, '-') + "\n";

}  // namespace

TEST(PackageTable, RowsShowMarksVersionsDatesAndNotesInOrder) {
  Repository repository;
  std::ostringstream empty;
  print_package_table(repository, empty);
  EXPECT_EQ(empty.str(), HEADER + SEPARATOR);
  const auto add = [&repository](const std::string& name, Version version, uint32_t built) {
    Package& package = repository.add(std::make_unique<Package>(name));
    std::tie(package.version, package.build_time) = std::tie(version, built);
    return &package;
  };
  Package* member = add("wifi", 0x03146302, 0);
  member->disabled = true;
  member->bundle = Dependency{"suite", 0, 0, 0};
  member->note = "wireless drivers";
  add("system", 0x06306601, 1700000000);
  add("a-very-long-name-xx", 0x01026600, 86399);

  std::ostringstream table;
  print_package_table(repository, table);
  EXPECT_EQ(table.str(), HEADER + SEPARATOR + pad("wifi", 16) + " XB " + pad("3.20rc2", 13) + " " +
                             "Jan/01/1970 00:00:00" + " " + pad("wireless drivers", 40) + "\n" +
                             pad("system", 16) + "    " + pad("6.48.1", 13) + " " +
                             "Nov/14/2023 22:13:20" + " " + pad("", 40) + "\n" +
                             "a-very-long-name-xx" + "    " + pad("1.2", 13) + " " +
                             "Jan/01/1970 23:59:59" + " " + pad("", 40) + "\n");
  EXPECT_EQ(build_date_text(0xFFFFFFFF), "Feb/07/2106 06:28:15");  // the whole word
}
