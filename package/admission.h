// Admission outcomes. The same bits form a caller's allow mask: the outcomes it accepts.
#pragma once

#include <cstdint>

constexpr uint32_t ADMIT_UPGRADE = 1;       // offered version is newer than the installed one
constexpr uint32_t ADMIT_DOWNGRADE = 2;     // offered version is older
constexpr uint32_t ADMIT_UNSATISFIED = 8;   // a dependency is missing
constexpr uint32_t ADMIT_CONFLICT = 16;     // an installed package excludes it, or it one
constexpr uint32_t ADMIT_SAME = 32;         // the same version is installed
