#include "tools/vmpkg.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
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

namespace {

// verify answers whether an installer with the keys would take the file, and why not;
// inspect shows the same file and fails with it.
TEST_F(VmpkgTest, VerifyAndInspectTellWhyAFileWouldBeRefused) {
  ASSERT_EQ(vmpkg({"keygen", host_path("/other")}).status, VMPKG_OK);
  const auto build = [&](const std::string& name, const std::string& version,
                         const std::string& level) {
    ASSERT_EQ(vmpkg({"build", "--name", name, "--version", version, "--level", level,
                     "--build-time", "5", "--output", host_path("/" + name + ".vmp")})
                  .status,
              VMPKG_OK);
  };
  build("app", "7.2", "2");
  build("low", "7.2", "1");
  build("old", "6.40", "1");
  std::string bytes = read_file("/app.vmp");
  write_file("/cut.vmp", bytes.substr(0, bytes.size() - 10));
  bytes[14 + 6 + 20] ^= 1;  // the build time, in the signed header
  write_file("/changed.vmp", bytes);
  const size_t signature = bytes.size() - 132;
  bytes.replace(signature, 20, 20, '\0');  // a signer that names no key
  write_file("/anonymous.vmp", bytes);
  const std::string other = host_path("/other");
  const struct {
    const char* file;
    bool other_keys;
    const char* said;  // out when taken, else the start of the reason on err
  } cases[] = {
      {"app", false, ": taken\n  app 7.2: level 2 (needs 2)\n"},
      {"old", false, ": taken\n  old 6.40: level 1 (needs 1)\n"},
      {"low", false, ": refused: low 7.2 needs signature level 2, and it verifies at level 1"},
      {"app", true, ": refused: app 7.2: signed by another key set (key id "},
      {"changed", false, ": refused: app 7.2: digest mismatch: the file was changed after"},
      {"anonymous", false, ": refused: app 7.2: the signature does not verify against "},
      {"cut", false, ": refused: cut short: the part at offset "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string path = host_path(std::string("/") + c.file + ".vmp");
    std::vector<std::string> args = {"verify", path};
    if (c.other_keys) args = {"verify", "--keys", other, path};
    const ToolRun run = vmpkg(args);
    const bool taken = std::string(c.said).find(": taken") == 0;
    EXPECT_EQ(run.status, taken ? VMPKG_OK : VMPKG_NOT_OK);
    const std::string said = taken ? run.out : run.err;
    const std::string expected = (taken ? "" : "vmpkg verify: ") + path + c.said;
    EXPECT_EQ(said.compare(0, expected.size(), expected), 0) << said;
    // inspect shows every one of them, and fails for every one refused
    args[0] = "inspect";
    const ToolRun shown = vmpkg(args);
    EXPECT_EQ(shown.status, taken ? VMPKG_OK : VMPKG_NOT_OK) << shown.err;
    EXPECT_NE(shown.out.find("\npackage "), std::string::npos) << shown.out;
  }
  const ToolRun json = vmpkg({"verify", "--json", host_path("/low.vmp")});
  EXPECT_EQ(json.status, VMPKG_NOT_OK);
  EXPECT_EQ(json.out.substr(0, json.out.find("\"key_id\"")),
            "{\"file\":\"" + host_path("/low.vmp") +
                "\",\"taken\":false,\"reason\":\"low 7.2 needs signature level 2, and it "
                "verifies at level 1\",\"packages\":[{\"name\":\"low\",\"version\":\"7.2\","
                "\"level\":1,\"required\":2,");
  const ToolRun inspected = vmpkg({"inspect", "--json", host_path("/cut.vmp")});
  EXPECT_EQ(inspected.status, VMPKG_NOT_OK);
  EXPECT_NE(inspected.out.find("\"length\":132,\"cut\":true}],\"packages\":[{\"kind\":\"package\","
                               "\"name\":\"app\",\"version\":\"7.2\""),
            std::string::npos)
      << inspected.out;
  EXPECT_NE(inspected.out.find("\"problem\":\"cut short: the part at offset "), std::string::npos);
}

// A bundle takes its members' architecture when they agree, and otherwise wants --arch.
TEST_F(VmpkgTest, BundleArchitectureAndFileErrors) {
  ASSERT_EQ(vmpkg(build_line("p1", {"--arch", "powerpc"})).status, VMPKG_OK);
  ASSERT_EQ(vmpkg(build_line("p2", {"--arch", "powerpc"})).status, VMPKG_OK);
  ASSERT_EQ(vmpkg(build_line("i1")).status, VMPKG_OK);
  const auto bundle = [&](const std::vector<std::string>& members, const char* arch) {
    std::vector<std::string> args = {"bundle",   "--name",           "b", "--version", "1.0",
                                     "--output", host_path("/b.vmp")};
    if (arch != nullptr) args.insert(args.end(), {"--arch", arch});
    for (const std::string& member : members) args.push_back(host_path("/" + member + ".vmp"));
    return vmpkg(args);
  };
  ASSERT_EQ(bundle({"p1", "p2"}, nullptr).status, VMPKG_OK);
  expect_lines(vmpkg({"inspect", host_path("/b.vmp")}).out, {"bundle b", "  arch: powerpc"});
  const ToolRun mixed = bundle({"p1", "i1"}, nullptr);
  EXPECT_EQ(mixed.status, VMPKG_BAD_USAGE);
  EXPECT_EQ(mixed.err.find("vmpkg bundle: the members' architectures differ (p1 powerpc, i1 "
                           "i386); give --arch\n"),
            0u)
      << mixed.err;
  ASSERT_EQ(bundle({"p1", "i1"}, "mips").status, VMPKG_OK);
  expect_lines(vmpkg({"inspect", host_path("/b.vmp")}).out, {"bundle b", "  arch: mips"});
  const ToolRun missing =
      vmpkg({"build", "--name", "x", "--version", "1.0", "--output", host_path("/no/dir/x.vmp")});
  EXPECT_EQ(missing.err, "vmpkg build: " + host_path("/no/dir/x.vmp") +
                             ": cannot be created: No such file or directory\n");
}

// The queries read a root's database as the installer does: from inside it (--root enters
// it), records of both forms, markers and schedules.
TEST_F(VmpkgTest, ListFilesAndOwnerReadTheDatabase) {
  const std::string db = "/r/flash/var/pdb/";
  write_file(db + "clock/version", "16803328 1765000000\n");
  write_file(db + "clock/files", "etc/ntp.conf\n/bin/ntpd\n");
  write_file(db + "clock/disabled", "user\n");
  write_file(db + "dns/version", "16802562 5\n");
  write_file(db + "dns/files", "etc/dns.conf\n");
  write_file(db + "dns/bundle", "suite\n");
  write_file("/r/ram/pdb/dns/schedule", "uninstall\n");
  const struct {
    std::vector<std::string> args;
    int status;
    const char* out;
  } cases[] = {
      {{"list", "--root", "/r"},
       VMPKG_OK,
       "clock 1.0 2025-12-06 05:46:40 disabled - text -\n"
       "dns 1.0rc2 1970-01-01 00:00:05 enabled uninstall text suite\n"},
      {{"list", "--root", "/r", "--json"},
       VMPKG_OK,
       "{\"packages\":[{\"name\":\"clock\",\"version\":\"1.0\",\"version_word\":16803328,"
       "\"build_time\":1765000000,\"enabled\":false,\"scheduled\":null,\"form\":\"text\","
       "\"bundle\":null,\"note\":\"\"},{\"name\":\"dns\",\"version\":\"1.0rc2\",\"version_word\":"
       "16802562,\"build_time\":5,\"enabled\":true,\"scheduled\":\"uninstall\",\"form\":\"text\","
       "\"bundle\":\"suite\",\"note\":\"\"}]}\n"},
      {{"files", "--root", "/r", "clock"}, VMPKG_OK, "/bin/ntpd\n/etc/ntp.conf\n"},
      {{"files", "--root", "/r", "--json", "dns"},
       VMPKG_OK,
       "{\"package\":\"dns\",\"files\":[\"/etc/dns.conf\"]}\n"},
      {{"owner", "--root", "/r", "/flash/etc/ntp.conf"}, VMPKG_OK, "clock: /etc/ntp.conf\n"},
      {{"owner", "--root", "/r", "--json", "/etc/dns.conf"},
       VMPKG_OK,
       "{\"path\":\"/etc/dns.conf\",\"owners\":[\"dns\"]}\n"},
      {{"owner", "--root", "/r", "/etc/none"}, VMPKG_NOT_OK, ""},
      {{"files", "--root", "/r", "nosuch"}, VMPKG_NOT_OK, ""},
      {{"list"}, VMPKG_NOT_OK, ""},  // the outer root has no database
      {{"list", "--root", "/missing"}, VMPKG_NOT_OK, ""},
      {{"list", "stray"}, VMPKG_BAD_USAGE, ""},
      {{"files"}, VMPKG_BAD_USAGE, ""},
  };
  for (const auto& c : cases) {
    // In a child: entering a root is for good.
    const RunResult run = run_in_root([&c] {
      std::ostringstream out, err;
      const int status = run_vmpkg(c.args, out, err, "");
      std::cout << out.str() << std::flush;
      return status;
    });
    EXPECT_EQ(run.status, c.status) << testing::PrintToString(c.args) << run.err;
    EXPECT_EQ(run.out, c.out) << testing::PrintToString(c.args);
  }
}

}  // namespace
