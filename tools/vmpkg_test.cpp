#include "tools/vmpkg.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
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

TEST_F(VmpkgTest, RebuildsGiveTheSameBytes) {
  // The same files made in another order, another second, the build time from the
  // environment: builds and bundles come out byte for byte the same, and still verify.
  const std::vector<std::pair<std::string, std::string>> files = {
      {"bin/tool", "#!/bin/sh\n"}, {"etc/a.conf", "a=1\n"}, {"etc/b.conf", ""}, {"lib/z", "z"}};
  for (const auto& [path, data] : files) write_file("/first/" + path, data, 0755);
  for (auto file = files.rbegin(); file != files.rend(); ++file) {
    write_file("/second/" + file->first, file->second, 0755);
  }
  ::setenv("SOURCE_DATE_EPOCH", "1700000000", 1);
  const std::vector<std::pair<std::string, std::string>> members = {{"one", "1"}, {"two", "2"}};
  for (const char* tree : {"first", "second"}) {
    const std::string out = std::string("/out-") + tree + "/";
    make_dirs(out);
    if (tree[0] == 's') ::sleep(1);
    for (const auto& [name, level] : members) {
      const ToolRun built =
          vmpkg({"build", "--name", name, "--version", "1.0", "--output",
                 host_path(out + name + ".vmp"), "--files", host_path(std::string("/") + tree),
                 "--level", level, "--processor", "lib/z=3"});
      ASSERT_EQ(built.status, VMPKG_OK) << built.err;
    }
    const ToolRun bundled =
        vmpkg({"bundle", "--name", "all", "--version", "2.0beta1", "--disable", "two", "--output",
               host_path(out + "all.vmp"), host_path(out + "one.vmp"), host_path(out + "two.vmp")});
    ASSERT_EQ(bundled.status, VMPKG_OK) << bundled.err;
  }
  for (const char* file : {"one.vmp", "two.vmp", "all.vmp"}) {
    EXPECT_EQ(read_file(std::string("/out-first/") + file),
              read_file(std::string("/out-second/") + file))
        << file;
  }
  expect_lines(
      vmpkg({"inspect", host_path("/out-second/one.vmp")}).out,
      {"  build-time: 1700000000 (2023-11-14 22:13:20 UTC)", "  signature: level 1 (68 bytes)"});
  // The bundle signs its members again, the level 1 one too.
  expect_lines(
      vmpkg({"inspect", host_path("/out-second/all.vmp")}).out,
      {"bundle all", "  version: 2.0beta1 (0x02006201)",
       "  build-time: 1700000000 (2023-11-14 22:13:20 UTC)", "  disabled: two", "package one",
       "  signature: level 2 (132 bytes)", "package two", "  signature: level 2 (132 bytes)"});
  // A bundle cannot be a member, nor can a member carry the bundle's name.
  for (const char* member : {"/out-first/all.vmp", "/out-first/one.vmp"}) {
    const ToolRun run = vmpkg({"bundle", "--name", "one", "--version", "1.0", "--output",
                               host_path("/b.vmp"), host_path(member)});
    EXPECT_EQ(run.status, VMPKG_NOT_OK) << member;
  }

  // --build-time wins; an epoch that is not a number of seconds is refused.
  ASSERT_EQ(vmpkg(build_line("given", {"--build-time", "5"})).status, VMPKG_OK);
  expect_lines(vmpkg({"inspect", host_path("/given.vmp")}).out,
               {"  build-time: 5 (1970-01-01 00:00:05 UTC)"});
  ::setenv("SOURCE_DATE_EPOCH", "yesterday", 1);
  EXPECT_EQ(vmpkg(build_line("bad")).status, VMPKG_BAD_USAGE);
  ::unsetenv("SOURCE_DATE_EPOCH");
}

TEST_F(VmpkgTest, BadArgumentsAreRefusedWithAMessage) {
  const std::string out = host_path("/x.vmp"), no = host_path("/no");
  const int USAGE = VMPKG_BAD_USAGE, FAILED = VMPKG_NOT_OK;
  std::vector<std::pair<std::vector<std::string>, int>> lines = {
      {{}, USAGE},
      {{"frobnicate"}, USAGE},
      {{"keygen"}, USAGE},
      {{"inspect"}, USAGE},
      {{"build", "--version", "1.0", "--output", out}, USAGE},
      {{"build", "--name", "x", "--version", "1.02", "--output", out}, USAGE},
      {{"build", "--name", "seventeen-letters", "--version", "1.0", "--output", out}, USAGE},
      {{"build", "--name", "x", "--version", "1.0"}, USAGE},
      {{"bundle", "--name", "x", "--version", "1.0", "--output", out}, USAGE},
      {{"keygen", keys_}, FAILED},  // never replaces keys
      {build_line("x", {"--keys", no}), FAILED},
      {build_line("x", {"--files", no}), FAILED},
      {build_line("x", {"--image", no}), FAILED},
      {{"build", "--name", "x", "--version", "1.0", "--output", no + "/dir/x.vmp"}, FAILED},
      {{"bundle", "--name", "x", "--version", "1.0", "--output", out, no + ".vmp"}, FAILED},
      {{"inspect", keys_ + "/eddsa.pub"}, FAILED},
  };
  for (const char* extra : {"--level=3", "--depends=a,min=x", "--depends=a,size=1",
                            "--provides=a,weight=q", "--flags=-1", "--processor=a=1", "--name=y",
                            "--unrecorded=yes", "--bogus", "--output", "stray"}) {
    lines.push_back({build_line("x", {extra}), USAGE});
  }
  for (const auto& [args, status] : lines) {
    const ToolRun run = vmpkg(args);
    EXPECT_EQ(run.status, status) << testing::PrintToString(args);
    EXPECT_NE(run.err.find("vmpkg "), std::string::npos) << testing::PrintToString(args);
  }
  EXPECT_FALSE(exists("/x.vmp"));
  for (const char* command : {"keygen", "build", "bundle", "inspect"}) {
    const ToolRun help = vmpkg({command, "--help"});
    EXPECT_EQ(help.status, VMPKG_OK);
    EXPECT_EQ(help.out.find("usage: vmpkg "), 0u) << command;
  }
}

}  // namespace
