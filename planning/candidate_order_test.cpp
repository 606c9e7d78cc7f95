#include "planning/candidate_order.h"

#include <gtest/gtest.h>

#include <sstream>

#include "package/console.h"
#include "package/relations.h"
#include "testing/record_text.h"

namespace {

struct OrderCase {
  std::vector<const char*> offered;
  Version floor;
  bool report;
  const char* kept;      // display names in install order
  const char* messages;  // kept messages, joined by " | "
};

const Version V2 = make_version(2, 0, KIND_FINAL, 0);

const OrderCase CASES[] = {
    {{}, NO_FLOOR, true, "", ""},
    // Of related candidates the newest stays; equal twins drop each other silently.
    {{"a-1.0", "a-2.0", "a-1.5"},
     NO_FLOOR,
     true,
     "a-2.0",
     "WARNING: omitting package a-1.0: newer package is already provided | "
     "WARNING: omitting package a-1.5: newer package is already provided"},
    {{"a-1.0", "a-2.0"}, NO_FLOOR, false, "a-2.0", ""},
    {{"a-1.0", "a-1.0", "b-1.0"}, NO_FLOOR, true, "b-1.0", ""},
    {{"a-1.0 built=5", "a-1.0 built=7"},
     NO_FLOOR,
     true,
     "a-1.0",
     "WARNING: omitting package a-1.0: newer package is already provided"},
    // A bundle outlives an equal copy of its member; a newer copy outlives the bundle.
    {{"m-1.0", "suite-3.0 bundle members=m-1.0,n-1.0"}, NO_FLOOR, true, "suite-3.0", ""},
    {{"m-1.1", "suite-3.0 bundle members=m-1.0"},
     NO_FLOOR,
     true,
     "m-1.1",
     "WARNING: omitting package suite-3.0: newer package is already provided"},
    {{"suite-3.0 bundle members=m-1.0", "suite-3.0 bundle members=m-1.0"}, NO_FLOOR, true, "", ""},
    // With a floor the oldest at or above it stays; those below are refused, reported or not.
    {{"a-1.0", "a-3.0", "a-2.0"},
     V2,
     false,
     "a-2.0",
     "WARNING: ommitting package a-1.0: not allowed"},
    {{"a-3.0", "a-1.0", "a-2.0"},
     V2,
     true,
     "a-2.0",
     "WARNING: omitting package a-3.0: older package is already provided | "
     "WARNING: ommitting package a-1.0: not allowed"},
    {{"a-1.0", "b-1.0"},
     V2,
     true,
     "",
     "WARNING: ommitting package a-1.0: not allowed | "
     "WARNING: ommitting package b-1.0: not allowed"},
    // Order: after what one needs or what excludes it; independent ones in reverse.
    {{"a-1.0", "b-1.0", "c-1.0"}, NO_FLOOR, true, "c-1.0 b-1.0 a-1.0", ""},
    {{"b-1.0 needs=a", "a-1.0"}, NO_FLOOR, true, "a-1.0 b-1.0", ""},
    {{"a-1.0", "c-1.0", "b-1.0 needs=a"}, NO_FLOOR, true, "c-1.0 a-1.0 b-1.0", ""},
    {{"b-1.0 needs=dns", "a-1.0 gives=dns"}, NO_FLOOR, true, "a-1.0 b-1.0", ""},
    {{"x-1.0 excludes=y", "y-1.0"}, NO_FLOOR, true, "x-1.0 y-1.0", ""},
    {{"y-1.0", "x-1.0 excludes=y"}, NO_FLOOR, true, "x-1.0 y-1.0", ""},
    // One insertion pass, not a full sort: mutual needs keep the input order.
    {{"a-1.0 needs=b", "b-1.0 needs=a"}, NO_FLOOR, true, "a-1.0 b-1.0", ""},
};

}  // namespace

TEST(CandidateOrder, KeepsThePreferredOfRelatedCandidatesInInstallOrder) {
  for (const OrderCase& c : CASES) {
    std::ostringstream screen;
    Console console(screen);
    std::vector<std::unique_ptr<PackageFile>> owned;
    std::vector<PackageFile*> candidates;
    for (const char* offer : c.offered) {
      owned.push_back(offer_from(offer));
      candidates.push_back(owned.back().get());
    }
    filter_and_order(console, candidates, c.floor, c.report);
    std::string kept, messages;
    for (const PackageFile* file : candidates)
      kept += (kept.empty() ? "" : " ") + display_name(*file);
    for (const std::string& message : console.messages) {
      messages += (messages.empty() ? "" : " | ") + message;
    }
    const std::string offered = ::testing::PrintToString(c.offered);
    EXPECT_EQ(kept, c.kept) << offered;
    EXPECT_EQ(messages, c.messages) << offered;
  }
}
