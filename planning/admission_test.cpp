#include "planning/admission.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "package/console.h"
#include "package/repository.h"
#include "testing/case_file.h"
#include "testing/fake_board.h"
#include "testing/record_text.h"

namespace {

// Admission bits from words such as "upgrade same"; "none" is 0.
uint32_t bits_from(const std::string& words) {
  static const std::map<std::string, uint32_t> names = {
      {"upgrade", ADMIT_UPGRADE},         {"downgrade", ADMIT_DOWNGRADE}, {"same", ADMIT_SAME},
      {"unsatisfied", ADMIT_UNSATISFIED}, {"conflict", ADMIT_CONFLICT},   {"none", 0}};
  uint32_t bits = 0;
  std::istringstream in(words);
  for (std::string word; in >> word;) {
    const auto found = names.find(word);
    EXPECT_NE(found, names.end()) << "admission bit " << word;
    if (found != names.end()) bits |= found->second;
  }
  return bits;
}

}  // namespace

TEST(Admission, EveryOutcomeWithItsBitsAndItsOneMessage) {
  for (const TestCase& c :
       read_cases("planning/testdata/admissions.txt",
                  {"installed*", "offered", "allowed", "bits", "message?", "board?"})) {
    SCOPED_TRACE(c.label());
    std::ostringstream screen;
    Console console(screen);
    Repository repository("i386");
    for (const std::string& record : c.list("installed")) repository.add(package_from(record));
    FakeBoard board;
    if (c.text("board") == "min") {
      board.has_flash = true;
      board.min_version = make_version(6, 48, KIND_FINAL, 0);
    } else if (c.text("board") == "large") {
      board.has_mtd = true;
      board.erase_size = 0x40000;
    } else {
      EXPECT_EQ(c.text("board"), "");
    }
    const std::unique_ptr<PackageFile> offered = offer_from(c.text("offered"));
    if (offered->architecture.empty() && c.text("offered").find("arch=") == std::string::npos) {
      offered->architecture = "i386";
    }
    EXPECT_EQ(admit(repository, console, *offered, bits_from(c.text("allowed"))),
              bits_from(c.text("bits")));
    EXPECT_EQ(console.messages, c.list("message"));
  }
}
