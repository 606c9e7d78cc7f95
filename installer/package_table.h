// The table of installed packages printed by "--show". It goes straight to the given
// stream, not through the console, so the quiet switch does not hide it.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

class Repository;

// Writes the header, a 94-character separator and one line per record, in record order.
// Cells are left-aligned; a text longer than its column pushes the rest of its line.
void print_package_table(const Repository& repository, std::ostream& out);

// "Jan/01/1970 00:00:00" for a build time in seconds since 1970 (UTC); empty when the
// time cannot be converted.
std::string build_date_text(uint32_t build_time);
