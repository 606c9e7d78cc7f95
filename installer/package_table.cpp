#include "installer/package_table.h"

#include <ctime>
#include <limits>
#include <ostream>

#include "package/repository.h"
#include "package/version.h"

namespace {

constexpr size_t NAME_WIDTH = 16;
constexpr size_t VERSION_WIDTH = 13;
constexpr size_t BUILT_WIDTH = 20;
constexpr size_t NOTE_WIDTH = 40;
constexpr size_t TABLE_WIDTH = NAME_WIDTH + 4 + VERSION_WIDTH + 1 + BUILT_WIDTH + NOTE_WIDTH;

// `text` padded with spaces on the right to `width`; a longer text is kept whole.
void append_cell(std::string& line, const std::string& text, size_t width) {
  line += text;
  if (text.size() < width) line.append(width - text.size(), ' ');
}

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
  // Each line is built whole and written at once: a formatted insertion per cell costs a
  // call into the C library's stream each.
  std::string line;
  append_cell(line, "Name", NAME_WIDTH);
  line += "    ";
  append_cell(line, "Version", VERSION_WIDTH);
  line += ' ';
  append_cell(line, "Built", BUILT_WIDTH);
  append_cell(line, "Note", NOTE_WIDTH);
  line += '\n';
  line.append(TABLE_WIDTH, '-');
  line += '\n';
  out.write(line.data(), std::streamsize(line.size()));
  for (const auto& package : repository.packages()) {
    line.clear();
    append_cell(line, package->name, NAME_WIDTH);
    line += ' ';
    line += package->disabled ? 'X' : ' ';
    line += package->bundle.name.empty() ? "  " : "B ";
    append_cell(line, version_text(package->version), VERSION_WIDTH);
    line += ' ';
    append_cell(line, build_date_text(package->build_time), BUILT_WIDTH);
    line += ' ';
    append_cell(line, package->note, NOTE_WIDTH);
    line += '\n';
    out.write(line.data(), std::streamsize(line.size()));
  }
  // One flush for the table, not one write per line.
  out.flush();
}
