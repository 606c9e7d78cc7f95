#include "tools/vmpkg.h"

#include <gtest/gtest.h>

#include <sstream>

#include "testing/root_fixture.h"

namespace {

struct ToolRun {
  int status;
  std::string out;
  std::string err;
};

class VmpkgTest : public RootFixture {
 protected:
  void SetUp() override {
    RootFixture::SetUp();
    keys_ = host_path("/keys");
    ASSERT_EQ(vmpkg({"keygen", keys_}).status, VMPKG_OK);
  }

  ToolRun vmpkg(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    const int status = run_vmpkg(args, out, err, keys_);
    return {status, out.str(), err.str()};
  }

  // The command line that builds /NAME.vmp at version 1.0, with the `extra` arguments.
  std::vector<std::string> build_line(const std::string& name,
                                      const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {
        "build", "--name", name, "--version", "1.0", "--output", host_path("/" + name + ".vmp")};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }

  std::string keys_;
};

// Every line of `expected` appears in `text`, in this order.
void expect_lines(const std::string& text, const std::vector<std::string>& expected) {
  size_t from = 0;
  for (const std::string& line : expected) {
    const size_t at = text.find(line + "\n", from);
    ASSERT_NE(at, std::string::npos) << "missing \"" << line << "\" in:\n" << text;
    from = at + line.size();
  }
}

TEST_F(VmpkgTest, BuildThenInspectRoundTripsEveryField) {
  write_file("/tree/bin/tool", "#!/bin/sh\n", 0755);
  write_file("/tree/etc/tool.conf", "x=1\n", 0600);
  write_file("/image", "IMAGE");
  const std::string package = host_path("/demo.vmp");
  // clang-format off
  const ToolRun built = vmpkg({"build", "--name", "demo", "--version", "3.20rc2",
      "--build-time", "1700000000", "--arch", "powerpc", "--note", "a note", "--flags", "0x3",
      "--depends", "system,min=6.48,max=7.1beta4", "--depends", "libc",
      "--provides", "demo-api,min=1.0alpha,weight=-7", "--conflicts", "old-demo,max=2.0.1",
      "--files", host_path("/tree"), "--processor", "bin/tool=9", "--image", host_path("/image"),
      "--output", package});
  // clang-format on
  ASSERT_EQ(built.status, VMPKG_OK) << built.err;

  const ToolRun shown = vmpkg({"inspect", package});
  ASSERT_EQ(shown.status, VMPKG_OK) << shown.err;
  expect_lines(
      shown.out,
      {"package demo", "  version: 3.20rc2 (0x03146302)",
       "  build-time: 1700000000 (2023-11-14 22:13:20 UTC)", "  flags: 0x00000003",
       "  arch: powerpc", "  note: a note", "  depends: system min=6.48 max=7.1beta4 weight=0",
       "  depends: libc min=0 max=0 weight=0", "  provides: demo-api min=1.0alpha max=0 weight=-7",
       "  conflicts: old-demo min=0 max=2.0.1 weight=0", "  image: 5 bytes",
       "  file: 100755 9 10 bin/tool", "  file: 100600 0 4 etc/tool.conf",
       "  signature: level 2 (132 bytes)"});
  expect_lines(shown.out, {"         8    25         0", "        14     1        36"});

  ASSERT_EQ(vmpkg(build_line("bare", {"--level", "1", "--unrecorded"})).status, VMPKG_OK);
  const std::string bare = vmpkg({"inspect", host_path("/bare.vmp")}).out;
  EXPECT_NE(bare.find(": unrecorded package file, "), std::string::npos) << bare;
  expect_lines(bare, {"package bare", "  arch: i386", "  signature: level 1 (68 bytes)"});

  // The level against other keys, and after one flipped byte of the signed header.
  ASSERT_EQ(vmpkg({"keygen", host_path("/other")}).status, VMPKG_OK);
  expect_lines(vmpkg({"inspect", "--keys", host_path("/other"), package}).out,
               {"  signature: level 0 (132 bytes)"});
  std::string bytes = read_file("/demo.vmp");
  bytes[14 + 6 + 16] ^= 1;
  write_file("/demo.vmp", bytes);
  expect_lines(vmpkg({"inspect", package}).out, {"  signature: level 0 (132 bytes)"});
}

TEST_F(VmpkgTest, BundleResignsItsMembers) {
  for (const char* name : {"one", "two"}) {
    ASSERT_EQ(vmpkg(build_line(name, {"--level", "1"})).status, VMPKG_OK);
  }
  const ToolRun bundled =
      vmpkg({"bundle", "--name", "both", "--version", "2.0beta1", "--disable", "two", "--output",
             host_path("/both.vmp"), host_path("/one.vmp"), host_path("/two.vmp")});
  ASSERT_EQ(bundled.status, VMPKG_OK) << bundled.err;
  expect_lines(
      vmpkg({"inspect", host_path("/both.vmp")}).out,
      {"bundle both", "  version: 2.0beta1 (0x02006201)", "  disabled: two", "package one",
       "  signature: level 2 (132 bytes)", "package two", "  signature: level 2 (132 bytes)"});

  // A bundle cannot be a member, nor can a member carry the bundle's name.
  for (const char* member : {"/both.vmp", "/one.vmp"}) {
    const ToolRun run = vmpkg({"bundle", "--name", "one", "--version", "1.0", "--output",
                               host_path("/b.vmp"), host_path(member)});
    EXPECT_EQ(run.status, VMPKG_FAILED) << member;
  }
}

TEST_F(VmpkgTest, BadArgumentsAreRefusedWithAMessage) {
  const std::string out = host_path("/x.vmp");
  std::vector<std::vector<std::string>> usage_errors = {
      {},
      {"frobnicate"},
      {"keygen"},
      {"inspect"},
      {"build", "--version", "1.0", "--output", out},
      {"build", "--name", "x", "--version", "1.02", "--output", out},
      {"build", "--name", "seventeen-letters", "--version", "1.0", "--output", out},
      {"build", "--name", "x", "--version", "1.0"},
      {"bundle", "--name", "x", "--version", "1.0", "--output", out},
  };
  for (const char* extra : {"--level=3", "--depends=a,min=x", "--depends=a,size=1",
                            "--provides=a,weight=q", "--flags=-1", "--processor=a=1", "--name=y",
                            "--unrecorded=yes", "--bogus", "--output", "stray"}) {
    usage_errors.push_back(build_line("x", {extra}));
  }
  for (const auto& args : usage_errors) {
    const ToolRun run = vmpkg(args);
    EXPECT_EQ(run.status, VMPKG_BAD_USAGE) << testing::PrintToString(args);
    EXPECT_FALSE(run.err.empty()) << testing::PrintToString(args);
  }
  EXPECT_FALSE(exists("/x.vmp"));

  const std::vector<std::vector<std::string>> failures = {
      {"keygen", keys_},  // never replaces keys
      build_line("x", {"--keys", host_path("/no")}),
      build_line("x", {"--files", host_path("/no")}),
      build_line("x", {"--image", host_path("/no")}),
      {"build", "--name", "x", "--version", "1.0", "--output", host_path("/no/dir/x.vmp")},
      {"bundle", "--name", "x", "--version", "1.0", "--output", out, host_path("/no.vmp")},
      {"inspect", keys_ + "/eddsa.pub"},
  };
  for (const auto& args : failures) {
    const ToolRun run = vmpkg(args);
    EXPECT_EQ(run.status, VMPKG_FAILED) << testing::PrintToString(args);
    EXPECT_NE(run.err.find("vmpkg "), std::string::npos) << testing::PrintToString(args);
  }
  for (const char* command : {"keygen", "build", "bundle", "inspect"}) {
    const ToolRun help = vmpkg({command, "--help"});
    EXPECT_EQ(help.status, VMPKG_OK);
    EXPECT_EQ(help.out.find("usage: vmpkg "), 0u) << command;
  }
}

}  // namespace
