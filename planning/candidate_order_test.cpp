#include "planning/candidate_order.h"

#include <gtest/gtest.h>

#include <sstream>

#include "package/console.h"
#include "package/relations.h"
#include "package/version_parse.h"
#include "testing/case_file.h"
#include "testing/record_text.h"

TEST(CandidateOrder, KeepsThePreferredOfRelatedCandidatesInInstallOrder) {
  for (const TestCase& c : read_cases("planning/testdata/candidate_orders.txt",
                                      {"offered", "floor?", "quiet?", "kept", "message*"})) {
    SCOPED_TRACE(c.label());
    Version floor = NO_FLOOR;
    if (!c.text("floor").empty()) {
      ASSERT_TRUE(parse_version_text(c.text("floor"), floor));
    }
    std::ostringstream screen;
    Console console(screen);
    std::vector<std::unique_ptr<PackageFile>> owned;
    std::vector<PackageFile*> candidates;
    for (const std::string& offer : c.list("offered")) {
      owned.push_back(offer_from(offer));
      candidates.push_back(owned.back().get());
    }
    filter_and_order(console, candidates, floor, !c.yes("quiet"));
    std::string kept;
    for (const PackageFile* file : candidates)
      kept += (kept.empty() ? "" : " ") + display_name(*file);
    EXPECT_EQ(kept, c.text("kept"));
    EXPECT_EQ(console.messages, c.list("message"));
  }
}
