#include "package/console.h"

#include <gtest/gtest.h>

#include <iostream>
#include <map>
#include <optional>
#include <sstream>

#include "package/system_paths.h"
#include "testing/root_fixture.h"

namespace {

const std::string HIDE = "\x1b[?25l";
const std::string SHOW = "\x1b[?25h";
const std::string BLANK = "\r" + std::string(79, ' ') + "\r";

// One step of a console script: "status:", "info:" (formatted from two arguments), "error:",
// "warning:" or "report:" (no prefix) and a text, "read" or "write" (the post log), or
// "quiet"; false for an unknown one.
bool perform(Console& console, const std::string& step) {
  using Verb = void (*)(Console&, const char*);
  static const std::map<std::string, Verb> verbs = {
      {"status", [](Console& c, const char* text) { c.show_status(text); }},
      {"info", [](Console& c, const char* text) { c.info("%s%s", "", text); }},
      {"error", [](Console& c, const char* text) { c.error("%s", text); }},
      {"warning", [](Console& c, const char* text) { c.warning("%s", text); }},
      {"report", [](Console& c, const char* text) { c.report(nullptr, "%s", text); }},
      {"read", [](Console& c, const char*) { c.read_post_log(); }},
      {"write", [](Console& c, const char*) { c.write_post_log(); }},
      {"quiet", [](Console& c, const char*) { c.quiet = true; }},
  };
  const size_t colon = step.find(':');
  const auto verb = verbs.find(step.substr(0, colon));
  if (verb == verbs.end()) return false;
  verb->second(console, colon == std::string::npos ? "" : step.c_str() + colon + 1);
  return true;
}

}  // namespace

// The status line is rewritten in place and padded when shorter; a warning puts it back
// below, an error or info clears it. A message is cut at 255 bytes; quiet says nothing.
TEST(ConsoleOutput, StatusLineMessagesCutsAndQuiet) {
  const std::string long_text(300, 'n'), cut_text(255, 'n');
  const struct Row {
    std::string step;
    std::string screen, status_line;
  } rows[] = {
      {"status:abcdef", HIDE + "\rabcdef\r" + SHOW, "abcdef"},
      {"status:abc", HIDE + "\rabc   \r" + SHOW, "abc"},
      {"status:abc", "", "abc"},
      {"status:abcdef", HIDE + "\rabcdef\r" + SHOW, "abcdef"},
      {"status:step", HIDE + "\rstep  \r" + SHOW, "step"},
      {"warning:disk-low", BLANK + "WARNING: disk-low\nstep", "step"},
      {"error:x-failed", HIDE + "\r    \r" + SHOW + "ERROR: x-failed\n", ""},
      {"status:again", HIDE + "\ragain\r" + SHOW, "again"},
      {"info:installed", HIDE + "\r     \r" + SHOW + "installed\n", ""},
      {"report:plain", "plain\n", ""},
      {"error:" + long_text, "ERROR: " + cut_text + "\n", ""},
      {"quiet", "", ""},
      {"status:step", "", ""},
      {"error:e", "", ""},
      {"warning:w", "", ""},
      {"info:i", "", ""},
  };
  std::ostringstream screen;
  Console console(screen);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.step);
    screen.str("");
    ASSERT_TRUE(perform(console, row.step));
    EXPECT_EQ(screen.str(), row.screen);
    EXPECT_EQ(console.status_line, row.status_line);
  }
  EXPECT_EQ(console.messages,
            (std::vector<std::string>{"WARNING: disk-low", "ERROR: x-failed", "installed", "plain",
                                      "ERROR: " + cut_text}));
}

TEST(ProgressLine, WidthFillAndDamagedTotals) {
  const std::string label = "0123456789";
  const auto bar = [&](int full) {
    return label + " [" + std::string(full, '#') + std::string(64 - full, ' ') + "]";
  };
  EXPECT_EQ(progress_line(label, 500, 1000).size(), 77u);
  EXPECT_EQ(progress_line(label, 500, 1000), bar(32));
  EXPECT_EQ(progress_line(label, 0, 1000), bar(0));
  EXPECT_EQ(progress_line(label, 1000, 1000), bar(64));
  // A container that declares length 0, or less than what was read, must not divide.
  EXPECT_EQ(progress_line(label, 10, 0), bar(0));
  EXPECT_EQ(progress_line(label, 2000, 1000), bar(64));
  // 64-bit products: no overflow for sizes near 4 GiB.
  EXPECT_EQ(progress_line(label, 0xFFFFFFFFull / 2, 0xFFFFFFFFull), bar(31));
}

using PostLog = RootFixture;

// Each row runs in a fresh root: the log as it was (none when unset), the steps the run
// takes, then the lines read
// (on standard error here), what was printed, and the log left.
TEST_F(PostLog, ReadSayWrite) {
  const struct Row {
    const char* name;
    std::optional<std::string> before;
    const char* steps;
    std::string lines_read, printed, after;
  } rows[] = {
      {"nothing said leaves it alone", "old\n", "write", "", "", "old\n"},
      {"appends when not read", "old\n", "info:one error:two write", "", "one\nERROR: two\n",
       "old\none\nERROR: two\n"},
      // A run that dies here leaves zeros, which the next read drops as one unterminated line.
      {"read zeroes it until written", "first\nsecond\nunterminated", "read", "first|second|", "",
       std::string(4096, '\0')},
      {"zeros read as nothing", std::string(4096, '\0'), "read write", "", "", ""},
      {"rewritten after reading", "kept\n", "read warning:new write", "kept|", "WARNING: new\n",
       "kept\nWARNING: new\n"},
      {"missing reads as empty", std::nullopt, "read write", "", "", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    reset_root();
    if (row.before) write_file(POST_LOG_PATH, *row.before);
    const RunResult run = run_in_root([&] {
      Console console(std::cout);
      std::istringstream steps(row.steps);
      for (std::string step; steps >> step;) {
        if (!perform(console, step)) return 2;
        if (step == "read") {
          for (const std::string& line : console.messages) std::cerr << line << "|";
        }
      }
      return 0;
    });
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, row.lines_read);
    EXPECT_EQ(run.out, row.printed);
    EXPECT_TRUE(exists(POST_LOG_PATH));
    EXPECT_EQ(read_file(POST_LOG_PATH), row.after);
  }
}
