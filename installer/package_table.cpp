#include "installer/package_table.h"

#include <ctime>
#include <iomanip>
#include <limits>
#include <ostream>

#include "package/repository.h"
#include "package/version.h"

namespace {

constexpr int NAME_WIDTH = 16;
constexpr int VERSION_WIDTH = 13;
constexpr int BUILT_WIDTH = 20;
constexpr int NOTE_WIDTH = 40;
constexpr int TABLE_WIDTH = NAME_WIDTH + 4 + VERSION_WIDTH + 1 + BUILT_WIDTH + NOTE_WIDTH;

}  // namespace

std::string build_date_text(uint32_t build_time) {
  // Where time_t is 32 bits, times past 2038 cannot be converted rather than wrap to 1901.
  if (uint64_t(build_time) > uint64_t(std::numeric_limits<std::time_t>::max())) return "";
  const std::time_t seconds = static_cast<std::time_t>(build_time);
  std::tm broken_down;
  if (!::gmtime_r(&seconds, &broken_down)) return "";
  char text[128];
  const size_t length = std::strftime(text, sizeof text, "%b/%d/%Y %H:%M:%S", &broken_down);
  return std::string(text, length);
}

void print_package_table(const Repository& repository, std::ostream& out) {
  out << std::left;
  out << std::setw(NAME_WIDTH) << "Name"
      << "    " << std::setw(VERSION_WIDTH) << "Version"
      << " " << std::setw(BUILT_WIDTH) << "Built" << std::setw(NOTE_WIDTH) << "Note" << '\n';
  out << std::string(TABLE_WIDTH, '-') << '\n';
  for (const auto& package : repository.packages) {
    const std::string date = build_date_text(package->build_time);
    out << std::setw(NAME_WIDTH) << package->name << " " << std::setw(1)
        << (package->disabled ? "X" : " ") << std::setw(2)
        << (package->bundle.name.empty() ? "  " : "B ") << std::setw(VERSION_WIDTH)
        << version_text(package->version) << " " << std::setw(BUILT_WIDTH) << date << " "
        << std::setw(NOTE_WIDTH) << package->text_part23 << '\n';
  }
  // One flush for the table, not one write per line.
  out.flush();
}
