// Admission of an offered package: may it be installed next to what is installed? The
// answer is a set of outcome bits; the same bits form a caller's allow mask, the outcomes
// it accepts without a message.
#pragma once

#include <cstdint>

class Console;
class PackageInfo;
class Repository;

constexpr uint32_t ADMIT_UPGRADE = 1;      // a namesake is installed and the offer is newer
constexpr uint32_t ADMIT_DOWNGRADE = 2;    // a namesake is installed and the offer is older
constexpr uint32_t ADMIT_UNSATISFIED = 8;  // cannot work here: board limits, architecture,
                                           // or a dependency no enabled package meets
constexpr uint32_t ADMIT_CONFLICT = 16;    // an enabled package excludes it
constexpr uint32_t ADMIT_SAME = 32;        // the same version and build time are installed
constexpr uint32_t ADMIT_ALL = 0xFFFFFFFF;

// The outcome bits for `package` against `repository`. Prints at most one message, about
// the first problem whose bit `allowed` lacks (warnings for an older or the same version
// and an unsupported file system, errors for the rest); later checks still add their bits.
uint32_t admit(const Repository& repository, Console& console, const PackageInfo& package,
               uint32_t allowed);

// Whether the very version and build time of `package` are installed ("branding" never
// counts: it may always be installed again). Prints nothing.
bool is_installed_already(const Repository& repository, const PackageInfo& package);
// Whether a newer version than `package` is installed, so that admission passes it over
// with a warning unless a downgrade is allowed. Prints nothing.
bool is_installed_newer(const Repository& repository, const PackageInfo& package);

// Whether a base system package may run on this board: its version is at least the
// board's minimum, and it is 3.20rc2 or later when the flash has 256 KiB erase blocks.
// With `report`, the refusal is printed.
bool check_system_limits(Console& console, const PackageInfo& package, bool report);
