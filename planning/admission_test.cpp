#include "planning/admission.h"

#include <gtest/gtest.h>

#include <sstream>

#include "package/console.h"
#include "package/repository.h"
#include "testing/fake_board.h"
#include "testing/record_text.h"

namespace {

struct AdmitCase {
  std::vector<const char*> installed;
  const char* offered;
  uint32_t allowed;
  uint32_t bits;
  const char* message;     // the one line printed, "" for none
  const char* board = "";  // "min" (the board needs 6.48), "large" (256 KiB erase blocks)
};

const uint32_t UP = ADMIT_UPGRADE, DOWN = ADMIT_DOWNGRADE, UNSAT = ADMIT_UNSATISFIED,
               CONFLICT = ADMIT_CONFLICT, SAME = ADMIT_SAME;

const AdmitCase CASES[] = {
    // Against the installed namesake.
    {{"a-1.0"}, "a-1.0", UP, SAME, "WARNING: omitting package a-1.0: it is already installed"},
    {{"a-1.0"}, "a-1.0", UP | SAME, SAME, ""},
    {{"a-1.0"}, "a-1.0 built=2", UP, UP, ""},
    {{"a-1.0"}, "a-2.0", UP, UP, ""},
    {{"a-2.0"},
     "a-1.0",
     UP,
     DOWN,
     "WARNING: omitting package a-1.0: newer package a-2.0 is already installed"},
    {{"a-2.0"}, "a-1.0", UP | DOWN, DOWN, ""},
    {{"branding-2.0"}, "branding-1.0", UP, 0, ""},
    {{}, "a-1.0", UP, 0, ""},
    // The board's limits apply to "system" and every "velmora..." only.
    {{},
     "velmora-6.47",
     UP,
     UNSAT,
     "ERROR: omitting package velmora-6.47: min Velmora version is 6.48",
     "min"},
    {{}, "velmorax-6.48", UP, 0, "", "min"},
    {{"velmora-6.50"},
     "velmora-6.47",
     UP,
     DOWN | UNSAT,
     "WARNING: omitting package velmora-6.47: newer package velmora-6.50 is already installed",
     "min"},
    {{}, "system-6.47", UP | UNSAT, UNSAT, "", "min"},
    {{}, "systemd-1.0", UP, 0, "", "min"},
    {{},
     "system-3.20rc1",
     UP,
     UNSAT,
     "WARNING: omitting package system-3.20rc1: it does not support current file system",
     "large"},
    {{}, "system-3.20rc2", UP, 0, "", "large"},
    {{}, "system-3.20rc1", UP, 0, ""},
    // Architecture: the repository's is "i386"; an empty one fits everywhere.
    {{},
     "a-1.0 arch=ppc",
     UP,
     UNSAT,
     "ERROR: can not install a-1.0: it is not made for i386, but for ppc"},
    {{}, "a-1.0 arch=", UP, 0, ""},
    // Dependencies: the first one that no enabled package meets.
    {{"b-1.0", "c-1.0 disabled"},
     "a-1.0 needs=b,c,d",
     UP,
     UNSAT,
     "ERROR: can not install a-1.0: c is not installed, but is required"},
    {{"b-1.0"},
     "a-1.0 needs=b>=2.0",
     UP,
     UNSAT,
     "ERROR: can not install a-1.0: b-2.0 is not installed, but is required"},
    {{"net-1.0 gives=dns@0<=3.0"}, "a-1.0 needs=dns>=2.0", UP, 0, ""},
    {{"p-1.0 placeholder gives=dns"},
     "a-1.0 needs=dns",
     UP,
     UNSAT,
     "ERROR: can not install a-1.0: dns is not installed, but is required"},
    // Only the first problem is reported; later checks add their bits.
    {{"a-2.0"},
     "a-1.0 needs=x",
     UP,
     DOWN | UNSAT,
     "WARNING: omitting package a-1.0: newer package a-2.0 is already installed"},
    {{"a-2.0", "x-1.0 excludes=a"},
     "a-1.0",
     UP,
     DOWN | CONFLICT,
     "WARNING: omitting package a-1.0: newer package a-2.0 is already installed"},
    {{"x-1.0 excludes=a"},
     "a-1.0 needs=y",
     UP | UNSAT,
     UNSAT | CONFLICT,
     "ERROR: can not install a-1.0: it conflicts with x-1.0"},
    // Conflicts: an enabled package that excludes the offered one.
    {{"x-1.0 excludes=a"},
     "a-1.0",
     UP,
     CONFLICT,
     "ERROR: can not install a-1.0: it conflicts with x-1.0"},
    {{"x-1.0 excludes=a"}, "a-1.0", UP | CONFLICT, CONFLICT, ""},
    {{"x-1.0 disabled excludes=a"}, "a-1.0", UP, 0, ""},
    {{"x-1.0"}, "a-1.0 excludes=x", UP, 0, ""},
    {{"x-1.0 gives=a"},
     "a-1.0",
     UP,
     CONFLICT,
     "ERROR: can not install a-1.0: it conflicts with x-1.0"},
    {{"x-1.0 gives=a@-1"}, "a-1.0", UP, 0, ""},
};

}  // namespace

TEST(Admission, EveryOutcomeWithItsBitsAndItsOneMessage) {
  for (const AdmitCase& c : CASES) {
    std::ostringstream screen;
    Console console(screen);
    Repository repository("i386");
    for (const char* record : c.installed) repository.add(package_from(record));
    FakeBoard board;
    if (std::string(c.board) == "min") {
      board.has_flash = true;
      board.min_version = make_version(6, 48, KIND_FINAL, 0);
    } else if (std::string(c.board) == "large") {
      board.has_mtd = true;
      board.erase_size = 0x40000;
    }
    const std::unique_ptr<PackageFile> offered = offer_from(c.offered);
    if (offered->architecture.empty() &&
        std::string(c.offered).find("arch=") == std::string::npos) {
      offered->architecture = "i386";
    }
    EXPECT_EQ(admit(repository, console, *offered, c.allowed), c.bits) << c.offered;
    const std::string printed = console.messages.empty() ? "" : console.messages[0];
    EXPECT_EQ(printed, c.message) << c.offered;
    EXPECT_LE(console.messages.size(), 1u) << c.offered;
  }
}
