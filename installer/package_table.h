// The table of installed packages printed by "--show".
#pragma once

#include <iosfwd>

class Repository;

// Writes the table of every record of the repository to `out`. Not yet implemented:
// prints nothing.
void print_package_table(const Repository& repository, std::ostream& out);
