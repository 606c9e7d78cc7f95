// vmpkg audit on roots that the installer itself filled from signed packages, damaged one
// way at a time; and the reading of a root from outside it.
#include "tools/audit.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <sstream>

#include "crypto/little_endian.h"
#include "format/part_stream.h"
#include "testing/case_file.h"
#include "testing/test_packages.h"
#include "testing/whole_run.h"
#include "tools/root_reader.h"
#include "tools/vmpkg.h"

namespace {

const Version V1 = make_version(1, 0, KIND_FINAL, 0);

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
    std::ostringstream out, err;
    const int status = run_vmpkg(args, out, err, INSTALLER_KEYS_DIR);
    return {status, out.str(), err.str(), false, false, {}};
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
  const RunResult clean = audit({});
  EXPECT_EQ(clean.status, VMPKG_OK) << clean.out << clean.err;
  EXPECT_EQ(clean.out,
            "4 packages and 5 files checked: 0 findings; 1 package in text form, whose files "
            "were only looked for\n");
  const std::string pristine = root() + "-pristine";
  save_root(pristine);

  const std::string app_image = "/flash/var/pdb/app/image";
  const std::string suite_image = "/flash/var/pdb/suite/image";
  const std::string app_bytes = read_file(app_image), suite_bytes = read_file(suite_image);
  auto remove = [&](const std::string& path) { ::unlink(host_path(path).c_str()); };
  const struct {
    const char* what;
    std::function<void()> apply;
    const char* findings;
  } damages[] = {
      {"a changed byte", [&] { flip_byte("/flash/etc/app.conf", 2); },
       "changed /flash/etc/app.conf\n"},
      {"a longer file", [&] { write_file("/flash/etc/one", "1\n"); }, "changed /flash/etc/one\n"},
      {"a changed mode", [&] { ::chmod(host_path("/flash/bin/app").c_str(), 0700); },
       "mode /flash/bin/app\n"},
      {"a removed file of a disabled member", [&] { remove("/flash/x/two/etc/two"); },
       "missing /flash/x/two/etc/two\n"},
      {"a link to the same bytes in a file's place",
       [&] {
         remove("/flash/etc/one");
         write_file("/flash/one-copy", "1");
         ASSERT_EQ(::symlink("/flash/one-copy", host_path("/flash/etc/one").c_str()), 0);
       },
       "changed /flash/etc/one\n"},
      {"a directory in a file's place",
       [&] {
         remove("/flash/bin/app");
         make_dirs("/flash/bin/app");
       },
       "changed /flash/bin/app\n"},
      {"a tampered image", [&] { flip_byte(app_image, payload_at(app_bytes, PART_ARCHIVE) + 3); },
       "unsigned app\n"},
      {"a container length that does not match", [&] { flip_byte(app_image, 5); },
       "no image app\n"},
      {"a tampered bundle member",
       [&] { flip_byte(suite_image, payload_at(suite_bytes, PART_ARCHIVE, 1) + 3); },
       "unsigned two\n"},
      {"the boot image gone", [&] { remove("/flash/bootimage"); }, "no image boot\n"},
      {"a member enabled since", [&] { remove("/flash/var/pdb/two/disabled"); },
       "missing /flash/etc/two\n"},
      {"a file of a package in text form gone", [&] { remove("/flash/etc/plain"); },
       "missing /flash/etc/plain\n"},
  };
  for (const auto& damage : damages) {
    restore_root(pristine);
    damage.apply();
    const std::string before = tree("/");
    const RunResult run = audit({});
    EXPECT_EQ(run.status, VMPKG_NOT_OK) << damage.what << "\n" << run.err;
    EXPECT_EQ(findings_of(run.out), damage.findings) << damage.what << "\n" << run.out;
    EXPECT_EQ(tree("/"), before) << damage.what;
  }

  // Named packages, bundles, members and packages not installed; another key set.
  restore_root(pristine);
  remove("/flash/x/two/etc/two");
  const RunResult named_app = audit({"app"});
  EXPECT_EQ(named_app.status, VMPKG_OK);
  EXPECT_EQ(named_app.out, "1 package and 2 files checked: 0 findings\n");
  const std::vector<std::pair<std::vector<std::string>, std::string>> named = {
      {{"suite"}, "missing /flash/x/two/etc/two\n"},
      {{"two", "plain", "nosuch"}, "missing /flash/x/two/etc/two\nno image nosuch\n"},
  };
  for (const auto& [names, findings] : named) {
    const RunResult run = audit(names);
    EXPECT_EQ(run.status, VMPKG_NOT_OK);
    EXPECT_EQ(findings_of(run.out), findings) << testing::PrintToString(names);
  }
  const RunResult json = audit({"--json", "two", "plain"});
  EXPECT_EQ(json.status, VMPKG_NOT_OK);
  EXPECT_EQ(json.out, "{\"root\":\"" + root() +
                          "\",\"listed\":true,\"packages\":1,\"files\":2,\"text_form\":1,"
                          "\"findings\":[{\"kind\":\"missing\",\"subject\":\"/flash/x/two/etc/"
                          "two\"}],\"problems\":[]}\n");
  // Packages signed by another key set are all untrusted; so are their files.
  const std::string other = root() + "-other";
  std::ostringstream quiet;
  ASSERT_EQ(run_vmpkg({"keygen", other}, quiet, quiet, ""), VMPKG_OK);
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
