#include "installer/apply_scheduled.h"

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>

#include "package/console.h"
#include "package/repository.h"
#include "testing/record_text.h"
#include "testing/root_fixture.h"
#include "transaction/manifest.h"

namespace {

using ApplyScheduled = RootFixture;

TEST_F(ApplyScheduled, AnswersWhetherAnythingWasDoneAndDropsWhatItUninstalls) {
  const RunResult run = run_in_root([] {
    std::ostringstream screen;
    Console console(screen);
    Repository repository;
    for (const char* record : {"base-1.0", "gone-1.0 action=uninstall", "off-1.0 action=disable"}) {
      repository.add(package_from(record));
    }
    Manifest manifest;
    const bool first = apply_scheduled(console, repository, manifest, ReportLevel::changes);
    const bool second = apply_scheduled(console, repository, manifest, ReportLevel::changes);
    std::cout << "first=" << first << " second=" << second
              << " records=" << repository.packages().size()
              << " off_disabled=" << repository.find("off")->disabled
              << " gone_removed=" << (repository.find("gone") == nullptr) << " messages=";
    for (const std::string& message : console.messages) std::cout << "[" << message << "]";
    return 0;
  });
  // Uninstalls are silent at this level.
  EXPECT_EQ(run.out,
            "first=1 second=0 records=2 off_disabled=1 gone_removed=1 messages=[disabled off-1.0]");
}

}  // namespace
