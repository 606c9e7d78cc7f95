#include <gtest/gtest.h>

#include <sstream>

#include "package/repository.h"
#include "testing/root_fixture.h"

namespace {

const std::string HIDE = "\x1b[?25l";
const std::string SHOW = "\x1b[?25h";
const std::string BLANK = "\r" + std::string(79, ' ') + "\r";

class ConsoleOutput : public ::testing::Test {
 protected:
  std::ostringstream screen;
  Repository repository{screen};

  std::string take() {
    std::string text = screen.str();
    screen.str("");
    return text;
  }
};

}  // namespace

TEST_F(ConsoleOutput, StatusLineIsRewrittenInPlaceAndPaddedWhenShorter) {
  repository.show_status("abcdef");
  EXPECT_EQ(take(), HIDE + "\rabcdef\r" + SHOW);
  repository.show_status("abc");
  EXPECT_EQ(take(), HIDE + "\rabc   \r" + SHOW);
  repository.show_status("abc");
  EXPECT_EQ(take(), "");
  repository.show_status("abcdef");
  EXPECT_EQ(take(), HIDE + "\rabcdef\r" + SHOW);
  EXPECT_EQ(repository.status_line, "abcdef");
}

TEST_F(ConsoleOutput, WarningKeepsTheStatusLineErrorAndInfoClearIt) {
  repository.show_status("step");
  take();
  repository.warning("disk %s", "low");
  EXPECT_EQ(take(), BLANK + "WARNING: disk low\nstep");
  EXPECT_EQ(repository.status_line, "step");

  repository.error("%s failed", "x");
  EXPECT_EQ(take(), HIDE + "\r    \r" + SHOW + "ERROR: x failed\n");
  EXPECT_EQ(repository.status_line, "");

  repository.show_status("again");
  take();
  repository.info("installed %s%s", "", "a-1.0");
  EXPECT_EQ(take(), HIDE + "\r     \r" + SHOW + "installed a-1.0\n");

  repository.report(nullptr, "plain");
  EXPECT_EQ(take(), "plain\n");
  EXPECT_EQ(repository.messages, (std::vector<std::string>{"WARNING: disk low", "ERROR: x failed",
                                                           "installed a-1.0", "plain"}));
}

TEST_F(ConsoleOutput, QuietPrintsAndKeepsNothing) {
  repository.quiet = true;
  repository.show_status("step");
  repository.error("e");
  repository.warning("w");
  repository.info("i");
  EXPECT_EQ(take(), "");
  EXPECT_TRUE(repository.messages.empty());
  EXPECT_TRUE(repository.status_line.empty());
}

TEST_F(ConsoleOutput, LongMessagesAreCutAt255Characters) {
  const std::string name(300, 'n');
  repository.error("%s", name.c_str());
  ASSERT_EQ(repository.messages.size(), 1u);
  EXPECT_EQ(repository.messages[0], "ERROR: " + std::string(255, 'n'));
}

TEST(ProgressLine, WidthFillAndDamagedTotals) {
  const std::string label = "0123456789";
  const std::string half = progress_line(label, 500, 1000);
  EXPECT_EQ(half.size(), 77u);
  EXPECT_EQ(half, label + " [" + std::string(32, '#') + std::string(32, ' ') + "]");
  EXPECT_EQ(progress_line(label, 0, 1000), label + " [" + std::string(64, ' ') + "]");
  EXPECT_EQ(progress_line(label, 1000, 1000), label + " [" + std::string(64, '#') + "]");
  // A container that declares length 0, or less than what was read, must not divide.
  EXPECT_EQ(progress_line(label, 10, 0), label + " [" + std::string(64, ' ') + "]");
  EXPECT_EQ(progress_line(label, 2000, 1000), label + " [" + std::string(64, '#') + "]");
  // 64-bit products: no overflow for sizes near 4 GiB.
  EXPECT_EQ(progress_line(label, 0xFFFFFFFFull / 2, 0xFFFFFFFFull),
            label + " [" + std::string(31, '#') + std::string(33, ' ') + "]");
}

using PostLog = RootFixture;

TEST_F(PostLog, AppendsWhenNotReadAndLeavesItAloneWhenNothingWasSaid) {
  write_file("/flash/postlog", "old\n");
  auto silent = run_in_root([] {
    Repository::instance().write_post_log();
    return 0;
  });
  EXPECT_EQ(silent.status, 0);
  EXPECT_EQ(read_file("/flash/postlog"), "old\n");

  auto talkative = run_in_root([] {
    Repository::instance().info("one");
    Repository::instance().error("two");
    Repository::instance().write_post_log();
    return 0;
  });
  EXPECT_EQ(talkative.out, "one\nERROR: two\n");
  EXPECT_EQ(read_file("/flash/postlog"), "old\none\nERROR: two\n");
}

TEST_F(PostLog, ReadingCarriesLinesOverAndZeroesTheFileUntilWritten) {
  write_file("/flash/postlog", "first\nsecond\nunterminated");
  auto read_only = run_in_root([] {
    Repository& repository = Repository::instance();
    repository.read_post_log();
    return repository.messages == std::vector<std::string>{"first", "second"} ? 0 : 1;
  });
  EXPECT_EQ(read_only.status, 0);
  // A run that dies here leaves zeros, which the next read drops as one unterminated line.
  EXPECT_EQ(read_file("/flash/postlog"), std::string(4096, '\0'));

  auto resumed = run_in_root([] {
    Repository& repository = Repository::instance();
    repository.read_post_log();
    const bool dropped = repository.messages.empty();
    repository.write_post_log();
    return dropped ? 0 : 1;
  });
  EXPECT_EQ(resumed.status, 0);
  EXPECT_EQ(read_file("/flash/postlog"), "");

  write_file("/flash/postlog", "kept\n");
  auto rewritten = run_in_root([] {
    Repository& repository = Repository::instance();
    repository.read_post_log();
    repository.warning("new");
    repository.write_post_log();
    return 0;
  });
  EXPECT_EQ(read_file("/flash/postlog"), "kept\nWARNING: new\n");
}

TEST_F(PostLog, MissingLogReadsAsEmpty) {
  auto run = run_in_root([] {
    Repository& repository = Repository::instance();
    repository.read_post_log();
    const bool empty = repository.messages.empty();
    repository.write_post_log();
    return empty ? 0 : 1;
  });
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(exists("/flash/postlog"));
  EXPECT_EQ(read_file("/flash/postlog"), "");
}
