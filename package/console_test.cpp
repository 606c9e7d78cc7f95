#include "package/console.h"

#include <gtest/gtest.h>

#include <iostream>
#include <map>
#include <sstream>

#include "package/system_paths.h"
#include "testing/case_file.h"
#include "testing/root_fixture.h"

namespace {

// A case file's text with its escapes and stand-ins replaced (see testdata/console.txt).
std::string expanded(const std::string& text) {
  return with_tokens(text, {{"\\r", "\r"},
                            {"\\n", "\n"},
                            {"{hide}", "\x1b[?25l"},
                            {"{show}", "\x1b[?25h"},
                            {"{blank}", "\r" + std::string(79, ' ') + "\r"},
                            {"{long}", std::string(300, 'n')},
                            {"{cut}", std::string(255, 'n')},
                            {"{zeros}", std::string(4096, '\0')}});
}

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
  std::ostringstream screen;
  Console console(screen);
  for (const TestCase& c :
       read_cases("package/testdata/console.txt", {"step", "screen?", "status?"})) {
    SCOPED_TRACE(c.label());
    screen.str("");
    ASSERT_TRUE(perform(console, expanded(c.text("step"))));
    EXPECT_EQ(screen.str(), expanded(c.text("screen")));
    EXPECT_EQ(console.status_line, c.text("status"));
  }
  EXPECT_EQ(console.messages,
            (std::vector<std::string>{"WARNING: disk-low", "ERROR: x-failed", "installed", "plain",
                                      "ERROR: " + expanded("{cut}")}));
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

// Each case runs in a fresh root; lines read go to standard error here.
TEST_F(PostLog, ReadSayWrite) {
  for (const TestCase& c : read_cases("package/testdata/post_logs.txt",
                                      {"before?", "steps", "read?", "printed?", "after?"})) {
    SCOPED_TRACE(c.label());
    reset_root();
    if (c.values.count("before")) write_file(POST_LOG_PATH, expanded(c.text("before")));
    const RunResult run = run_in_root([&] {
      Console console(std::cout);
      std::istringstream steps(c.text("steps"));
      for (std::string step; steps >> step;) {
        if (!perform(console, step)) return 2;
        if (step == "read") {
          for (const std::string& line : console.messages) std::cerr << line << "|";
        }
      }
      return 0;
    });
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, c.text("read"));
    EXPECT_EQ(run.out, expanded(c.text("printed")));
    EXPECT_TRUE(exists(POST_LOG_PATH));
    EXPECT_EQ(read_file(POST_LOG_PATH), expanded(c.text("after")));
  }
}
