#include "tools/vmpkg.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <sstream>

#include "crypto/little_endian.h"
#include "format/part_stream.h"
#include "testing/case_file.h"
#include "testing/root_fixture.h"
#include "testing/test_packages.h"
#include "testing/whole_run.h"
#include "tools/field_text.h"
#include "tools/json_text.h"
#include "tools/root_reader.h"

namespace {

// run_vmpkg with its streams kept.
RunResult vmpkg_run(const std::vector<std::string>& args, const std::string& keys) {
  std::ostringstream out, err;
  const int status = run_vmpkg(args, out, err, keys);
  return {status, out.str(), err.str(), false, false, {}};
}

class VmpkgTest : public RootFixture {
 protected:
  void SetUp() override {
    RootFixture::SetUp();
    keys_ = host_path("/keys");
    ASSERT_EQ(vmpkg({"keygen", keys_}).status, VMPKG_OK);
  }

  RunResult vmpkg(const std::vector<std::string>& args) { return vmpkg_run(args, keys_); }

  // The command line that builds /NAME.vmp at `version`, with the `extra` arguments.
  std::vector<std::string> build_line(const std::string& name,
                                      const std::vector<std::string>& extra = {},
                                      const std::string& version = "1.0") {
    std::vector<std::string> args = {
        "build", "--name", name, "--version", version, "--output", host_path("/" + name + ".vmp")};
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
  const RunResult built = vmpkg({"build", "--name", "demo", "--version", "3.20rc2",
      "--build-time", "1700000000", "--arch", "powerpc", "--note", "a\x1b[2Jnote\x7f", "--flags", "0x3",
      "--depends", "system,min=6.48,max=7.1beta4", "--depends", "libc",
      "--provides", "demo-api,min=1.0alpha,weight=-7", "--conflicts", "old-demo,max=2.0.1",
      "--files", host_path("/tree"), "--processor", "bin/tool=9", "--image", host_path("/image"),
      "--output", package});
  // clang-format on
  ASSERT_EQ(built.status, VMPKG_OK) << built.err;

  const RunResult shown = vmpkg({"inspect", package});
  ASSERT_EQ(shown.status, VMPKG_OK) << shown.err;
  expect_lines(shown.out, {"package demo", "  version: 3.20rc2 (0x03146302)",
                           "  build-time: 1700000000 (2023-11-14 22:13:20 UTC)",
                           "  flags: 0x00000003", "  arch: powerpc", "  note: a\\x1b[2Jnote\\x7f",
                           "  depends: system min=6.48 max=7.1beta4 weight=0",
                           "  depends: libc min=0 max=0 weight=0",
                           "  provides: demo-api min=1.0alpha max=0 weight=-7",
                           "  conflicts: old-demo min=0 max=2.0.1 weight=0", "  image: 5 bytes",
                           "  file: 100755 9 10 bin/tool", "  file: 100600 0 4 etc/tool.conf",
                           "  signature: level 2 (132 bytes)"});
  expect_lines(shown.out, {"         8    25         0", "        14     1        36"});

  ASSERT_EQ(vmpkg(build_line("bare", {"--level", "1", "--unrecorded"})).status, VMPKG_OK);
  const std::string bare = vmpkg({"inspect", host_path("/bare.vmp")}).out;
  EXPECT_NE(bare.find(": unrecorded package file, "), std::string::npos) << bare;
  expect_lines(bare, {"package bare", "  arch: i386", "  signature: level 1 (68 bytes)"});
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
      const RunResult built =
          vmpkg({"build", "--name", name, "--version", "1.0", "--output",
                 host_path(out + name + ".vmp"), "--files", host_path(std::string("/") + tree),
                 "--level", level, "--processor", "lib/z=3"});
      ASSERT_EQ(built.status, VMPKG_OK) << built.err;
    }
    const RunResult bundled =
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
    const RunResult run = vmpkg({"bundle", "--name", "one", "--version", "1.0", "--output",
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

// A case's word with its placeholders filled in; '' is the empty word, and a leading "|"
// keeps the spaces after it.
std::string substituted(const std::string& word,
                        const std::vector<std::pair<std::string, std::string>>& values) {
  if (word == "''") return "";
  return with_tokens(word.rfind('|', 0) == 0 ? word.substr(1) : word, values);
}

// Every command answers on the right stream with the right status; a refusal names the
// command, a usage error has status 2, and nothing is written.
TEST_F(VmpkgTest, CommandLinesAndTheirAnswers) {
  const std::string db = "/r/flash/var/pdb/";
  write_file(db + "clock/version", "16803328 1765000000\n");
  write_file(db + "clock/files", "etc/ntp.conf\n/bin/ntpd\n");
  write_file(db + "clock/disabled", "user\n");
  write_file(db + "dns/version", "16802562 5\n");
  write_file(db + "dns/files", "etc/dns.conf\n");
  write_file(db + "dns/bundle", "suite\n");
  write_file("/r/ram/pdb/dns/schedule", "uninstall\n");
  ASSERT_EQ(vmpkg({"keygen", host_path("/other")}).status, VMPKG_OK);
  for (const auto& [name, version, level, keys] :
       std::vector<std::array<std::string, 4>>{{"app", "7.2", "2", keys_},
                                               {"low", "7.2", "1", keys_},
                                               {"old", "6.40", "1", keys_},
                                               {"foreign", "1.0", "2", host_path("/other")}}) {
    const std::vector<std::string> extra = {"--level", level, "--build-time", "5", "--keys", keys};
    ASSERT_EQ(vmpkg(build_line(name, extra, version)).status, VMPKG_OK);
  }
  std::string bytes = read_file("/app.vmp");
  write_file("/cut.vmp", bytes.substr(0, bytes.size() - 10));
  bytes[14 + 6 + 20] ^= 1;  // the build time, in the signed header
  write_file("/changed.vmp", bytes);
  bytes.replace(bytes.size() - 132, 20, 20, '\0');  // a signer that names no key
  write_file("/anonymous.vmp", bytes);
  write_file("/kept.vmp", "an earlier bundle");
  const std::vector<std::pair<std::string, std::string>> values = {{"{out}", host_path("/x.vmp")},
                                                                   {"{no}", host_path("/no")},
                                                                   {"{keys}", keys_},
                                                                   {"{dir}", root()},
                                                                   {"{other}", host_path("/other")},
                                                                   {"{version}", VMPKG_VERSION}};
  const std::map<std::string, int> statuses = {
      {"ok", VMPKG_OK}, {"failed", VMPKG_NOT_OK}, {"usage", VMPKG_BAD_USAGE}};
  // The lines of a stream, exact, or only its start when the last ends with "...".
  const auto expect_stream = [&](const std::string& text, const std::vector<std::string>& lines) {
    std::string expected;
    for (const std::string& line : lines) expected += substituted(line, values) + "\n";
    const size_t cut = expected.size() - 4;
    if (expected.size() >= 4 && expected.compare(cut, 4, "...\n") == 0) {
      EXPECT_EQ(text.substr(0, cut), expected.substr(0, cut));
    } else {
      EXPECT_EQ(text, expected);
    }
  };
  for (const TestCase& c : read_cases("tools/testdata/command_lines.txt",
                                      {"args", "in root?", "status", "out*", "err*"})) {
    SCOPED_TRACE(c.label());
    std::vector<std::string> args;
    for (const std::string& word : c.list("args")) args.push_back(substituted(word, values));
    const RunResult run = !c.yes("in root") ? vmpkg(args) : run_in_root([&args] {
      const RunResult inside = vmpkg_run(args, "");
      std::cout << inside.out << std::flush;
      std::cerr << inside.err << std::flush;
      return inside.status;
    });
    ASSERT_EQ(statuses.count(c.text("status")), 1u);
    EXPECT_EQ(run.status, statuses.at(c.text("status")));
    expect_stream(run.out, c.values.count("out") ? c.values.at("out") : std::vector<std::string>());
    expect_stream(run.err, c.values.count("err") ? c.values.at("err") : std::vector<std::string>());
  }
  EXPECT_FALSE(exists("/x.vmp"));
  EXPECT_EQ(read_file("/kept.vmp"), "an earlier bundle");
}

// A bundle takes its members' architecture when they agree, and otherwise wants --arch.
TEST_F(VmpkgTest, BundleMembersAndTheirArchitecture) {
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
  const RunResult mixed = bundle({"p1", "i1"}, nullptr);
  EXPECT_EQ(mixed.status, VMPKG_BAD_USAGE);
  EXPECT_EQ(mixed.err.find("vmpkg bundle: the members' architectures differ (p1 powerpc, i1 "
                           "i386); give --arch\n"),
            0u)
      << mixed.err;
  ASSERT_EQ(bundle({"p1", "i1"}, "mips").status, VMPKG_OK);
  expect_lines(vmpkg({"inspect", host_path("/b.vmp")}).out, {"bundle b", "  arch: mips"});

  const std::string kept = read_file("/b.vmp");
  // A write that fails half-way leaves the earlier file and no temporary one.
  write_file("/image", std::string(100000, 'i'));
  const RunResult cut = run_in_root([] {
    const struct rlimit limit = {50000, 50000};
    ::signal(SIGXFSZ, SIG_IGN);
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 99;
    const RunResult run = vmpkg_run(
        {"build", "--name", "b", "--version", "2.0", "--image", "/image", "--output", "/b.vmp"},
        "/keys");
    std::cerr << run.err;
    return run.status;
  });
  EXPECT_EQ(cut.status, VMPKG_NOT_OK);
  EXPECT_EQ(cut.err, "vmpkg build: /b.vmp: cannot write the package: File too large\n");
  EXPECT_EQ(read_file("/b.vmp"), kept);
  for (const auto& [path, entry] : tree_entries("/"))
    EXPECT_EQ(path.find("b.vmp."), std::string::npos);
}

TEST(FieldText, ListEntriesTakeRelationsAndRefuseNamesThatWouldNotReadBack) {
  const auto tabbed = [](std::string text) {
    for (size_t at; (at = text.find("\\t")) != std::string::npos;) text.replace(at, 2, "\t");
    return text;
  };
  for (const TestCase& c : read_cases("tools/testdata/relation_forms.txt", {"read?", "refused?"})) {
    SCOPED_TRACE(c.label());
    Dependency entry;
    std::string error;
    if (parse_dependency(tabbed(c.text("case")), entry, error)) {
      EXPECT_EQ(entry.name + " " + bound_text(entry.min) + " " + bound_text(entry.max) + " " +
                    std::to_string(entry.weight),
                c.text("read"));
    } else {
      const std::string refused = tabbed(c.text("refused"));
      EXPECT_FALSE(refused.empty()) << error;
      EXPECT_EQ(error.compare(0, refused.size(), refused), 0) << error;
    }
  }
}

// Whatever bytes a package carries, --json output stays valid JSON.
TEST(FieldText, JsonStringsEscapeWhatJsonCannotCarry) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain", "\"plain\""},
      {"a\"b\\c\nd\te", "\"a\\\"b\\\\c\\nd\\te\""},
      {std::string("nul\0\x1f\x7f", 6), "\"nul\\u0000\\u001f\\u007f\""},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
       "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
      {"cut \xc3", "\"cut \\u00c3\""},
      {"overlong \xc0\xaf \xe0\x80\xaf", "\"overlong \\u00c0\\u00af \\u00e0\\u0080\\u00af\""},
      {"surrogate \xed\xa0\x80", "\"surrogate \\u00ed\\u00a0\\u0080\""},
      {"too high \xf4\x90\x80\x80", "\"too high \\u00f4\\u0090\\u0080\\u0080\""},
  };
  for (const auto& [text, json] : cases) EXPECT_EQ(json_string(text), json) << json;
}

// vmpkg audit on roots that the installer itself filled from signed packages, damaged one
// way at a time; and the reading of a root from outside it.
// Offset of the payload of the `nth` part of `type` in a container.
size_t payload_at(const std::string& bytes, uint16_t type, int nth = 0) {
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  for (size_t at = CONTAINER_HEADER_SIZE; at + PART_HEADER_SIZE <= bytes.size();
       at += PART_HEADER_SIZE + load_u32(data + at + 2)) {
    if (load_u16(data + at) == type && nth-- == 0) return at + PART_HEADER_SIZE;
  }
  ADD_FAILURE() << "no part of type " << type;
  return 0;
}

class AuditRun : public WholeRun {
 protected:
  void SetUp() override {
    WholeRun::SetUp();
    if (!IsSkipped()) SKIP_WITHOUT_SIGNING_KEYS();
  }

  RunResult audit(std::vector<std::string> args) {
    args.insert(args.begin(), {"audit", "--root", root()});
    return vmpkg_run(args, INSTALLER_KEYS_DIR);
  }

  void flip_byte(const std::string& path, size_t at) {
    std::string bytes = read_file(path);
    ASSERT_LT(at, bytes.size());
    bytes[at] = char(bytes[at] ^ 0x20);
    const std::string target = host_path(path);
    ::unlink(target.c_str());  // the image may be a second name of the download
    write_file(path, bytes);
  }
};

// The finding lines of an audit's output: all but the summary.
std::string findings_of(const std::string& out) {
  const size_t last = out.rfind('\n', out.size() - 2);
  return last == std::string::npos ? "" : out.substr(0, last + 1);
}

TEST_F(AuditRun, ReportsEachDamageOnceNeverWritesTheRootAndTakesNamesAndKeys) {
  // app keeps its image; the bundle suite installs one, and two disabled; boot is kept as
  // the boot image, its files never extracted; plain keeps no image.
  TestPackage app = test_package("app", V1);
  app.image = "app image";
  app.files = {file_entry("etc/app.conf", "stale"),  // replaced by the later entry
               file_entry("bin/app", "binary", 0755),
               file_entry("lib/other-cpu", "skipped", 0644, 9),
               ArchiveEntry{040755, 0, "share", "", ""}, file_entry("./etc//app.conf", "conf")};
  TestPackage one = test_package("one", V1), two = test_package("two", V1);
  one.files = {file_entry("etc/one", "1")};
  two.files = {file_entry("etc/two", "2")};
  TestPackage boot = test_package("boot", V1);
  boot.group.header_flags = HEADER_BOOT_IMAGE;
  boot.image = "kernel";
  boot.files = {file_entry("boot/vmlinux", "k")};
  TestPackage plain = test_package("plain", V1);
  plain.files = {file_entry("etc/plain", "p")};
  make_dirs("/flash/var/pdb");
  write_file("/rw/pckg/.download/app.vmp", package_bytes(app));
  write_file("/rw/pckg/.download/suite.vmp",
             bundle_bytes(header_group("suite", V1), {one, two}, {"two"}));
  write_file("/rw/pckg/.download/boot.vmp", package_bytes(boot));
  write_file("/rw/pckg/.download/plain.vmp", package_bytes(plain));
  ChildOptions options;
  options.env = {{"bootimage", "1"}};
  ASSERT_EQ(run_installer({"-q"}, options).status, 0);
  ASSERT_TRUE(exists("/flash/x/two/etc/two") && !exists("/flash/boot/vmlinux"));
  ASSERT_EQ(read_file("/flash/etc/app.conf"), "conf");
  // The queries see what the kept images put in place, a bundle member's too.
  const RunResult query = run_in_root([] {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"files", "app"}, {"files", "two"}, {"owner", "/flash/etc/one"}}) {
      const RunResult run = vmpkg_run(args, "");
      std::cout << run.status << " " << run.out;
    }
    return 0;
  });
  EXPECT_EQ(query.out, "0 /bin/app\n/etc/app.conf\n0 /x/two/etc/two\n0 one: /etc/one\n");
  const RunResult clean = audit({});
  EXPECT_EQ(clean.status, VMPKG_OK) << clean.out << clean.err;
  EXPECT_EQ(clean.out,
            "4 packages and 5 files checked: 0 findings; 1 package in text form, whose files "
            "were only looked for\n");
  const std::string pristine = root() + "-pristine";
  save_root(pristine);

  for (const TestCase& c : read_cases("tools/testdata/audit_damages.txt",
                                      {"remove*", "flip*", "write*", "chmod*", "mkdir*", "symlink*",
                                       "args?", "findings*", "summary?"})) {
    SCOPED_TRACE(c.label());
    restore_root(pristine);
    for (const std::string& path : c.list("remove")) remove(path);
    for (const std::string& line : c.list("flip")) {
      std::istringstream words(line);
      std::string path, offset, plus;
      int nth = 0;
      words >> path >> offset >> nth >> plus;
      flip_byte(path, offset != "archive" ? std::strtoul(offset.c_str(), nullptr, 10)
                                          : payload_at(read_file(path), PART_ARCHIVE, nth) +
                                                std::strtoul(plus.c_str() + 1, nullptr, 10));
    }
    for (const std::string& line : c.list("write")) {
      write_file(line.substr(0, line.find(' ')), line.substr(line.find(' ') + 1));
    }
    for (const std::string& line : c.list("chmod")) {
      const std::string path = host_path(line.substr(0, line.find(' ')));
      ASSERT_EQ(::chmod(path.c_str(), std::strtoul(line.c_str() + line.find(' '), nullptr, 8)), 0);
    }
    for (const std::string& path : c.list("mkdir")) make_dirs(path);
    for (const std::string& line : c.list("symlink")) {
      const std::string path = host_path(line.substr(0, line.find(' ')));
      ASSERT_EQ(::symlink(line.substr(line.find(' ') + 1).c_str(), path.c_str()), 0);
    }
    const std::string before = tree("/");
    const RunResult run = audit(c.list("args"));
    std::string findings;
    for (const std::string& line : c.list("findings")) findings += line + "\n";
    EXPECT_EQ(run.status, findings.empty() ? VMPKG_OK : VMPKG_NOT_OK) << run.err;
    EXPECT_EQ(findings_of(run.out), findings) << run.out;
    if (c.values.count("summary") != 0) {
      EXPECT_EQ(run.out.substr(findings.size()), c.text("summary") + "\n");
    }
    EXPECT_EQ(tree("/"), before);
  }

  // Enabling or disabling a package later moves none of its files: they are found where
  // it was installed.
  restore_root(pristine);
  write_file("/ram/pdb/two/schedule", "enable");
  write_file("/ram/pdb/one/schedule", "disable");
  ASSERT_EQ(run_installer({"-q"}).status, 0);
  ASSERT_TRUE(exists("/flash/var/pdb/one/disabled") && !exists("/flash/var/pdb/two/disabled"));
  const RunResult moved = audit({});
  EXPECT_EQ(moved.status, VMPKG_OK) << moved.out;
  EXPECT_EQ(
      run_in_root([] {
        std::cout << vmpkg_run({"files", "one"}, "").out << vmpkg_run({"files", "two"}, "").out;
        return 0;
      }).out,
      "/etc/one\n/x/two/etc/two\n");

  // Another key set, and --json.
  restore_root(pristine);
  remove("/flash/x/two/etc/two");
  const RunResult json = audit({"--json", "two", "plain"});
  EXPECT_EQ(json.status, VMPKG_NOT_OK);
  EXPECT_EQ(json.out, "{\"root\":\"" + root() +
                          "\",\"listed\":true,\"packages\":1,\"files\":2,\"text_form\":1,"
                          "\"findings\":[{\"kind\":\"missing\",\"subject\":\"/flash/x/two/etc/"
                          "two\"}],\"problems\":[]}\n");
  // Packages signed by another key set are all untrusted; so are their files.
  const std::string other = root() + "-other";
  ASSERT_EQ(vmpkg_run({"keygen", other}, "").status, VMPKG_OK);
  EXPECT_EQ(findings_of(audit({"--keys", other}).out),
            "unsigned app\nunsigned boot\nunsigned one\nunsigned two\n");
}

TEST_F(RootFixture, RootPathsResolveLinksInsideTheRoot) {
  write_file("/flash/real/file", "x");
  const std::pair<const char*, const char*> links[] = {{"/flash/abs", "/flash/real"},
                                                       {"/flash/rel", "real"},
                                                       {"/flash/up", "../../../../flash/./real"},
                                                       {"/flash/final", "/flash/real/file"},
                                                       {"/flash/loop", "loop"},
                                                       {"/flash/dangling", "/nowhere"}};
  for (const auto& [link, target] : links) {
    ASSERT_EQ(::symlink(target, host_path(link).c_str()), 0) << link;
  }
  const std::map<std::string, int> errors = {
      {"ENOENT", ENOENT}, {"ELOOP", ELOOP}, {"ENOTDIR", ENOTDIR}};
  for (const TestCase& c :
       read_cases("tools/testdata/root_paths.txt", {"path", "follow?", "host?", "error?"})) {
    SCOPED_TRACE(c.label());
    std::string host;
    errno = 0;
    const bool resolved = resolve_in_root(root() + "/", c.text("path"), c.yes("follow"), host);
    if (c.values.count("error")) {
      EXPECT_FALSE(resolved) << host;
      ASSERT_EQ(errors.count(c.text("error")), 1u);
      EXPECT_EQ(errno, errors.at(c.text("error")));
    } else {
      EXPECT_TRUE(resolved) << std::strerror(errno);
      EXPECT_EQ(host, root() + c.text("host"));
    }
  }
}

}  // namespace
