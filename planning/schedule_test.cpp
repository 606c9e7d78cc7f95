#include "planning/schedule.h"

#include <gtest/gtest.h>

#include <iostream>

#include "package/repository.h"
#include "testing/record_text.h"
#include "testing/root_fixture.h"
#include "transaction/manifest.h"

namespace {

using ApplyScheduled = RootFixture;

TEST_F(ApplyScheduled, AnswersWhetherAnythingWasDoneAndDropsWhatItUninstalls) {
  const RunResult run = run_in_root([] {
    Repository& repository = Repository::instance();
    repository.quiet = true;
    for (const char* spec : {"base-1.0", "gone-1.0 action=uninstall", "off-1.0 action=disable"}) {
      repository.packages.push_back(package_from(spec));
    }
    Manifest manifest;
    const bool first = apply_scheduled(repository, manifest, 1);
    const bool second = apply_scheduled(repository, manifest, 1);
    std::cout << first << second << " " << repository.packages.size() << " "
              << repository.find("off")->disabled << (repository.find("gone") == nullptr);
    return 0;
  });
  EXPECT_EQ(run.out, "10 2 11");
}

}  // namespace
