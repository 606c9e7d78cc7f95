#include "installer/run_modes.h"

#include <sys/statfs.h>
#include <unistd.h>

#include <iostream>

#include "installer/repository.h"
#include "package/admission.h"
#include "testing/root_fixture.h"
#include "transaction/manifest.h"
#include "transaction/test_files.h"

namespace {

class UpgradeTail : public RootFixture {};

std::string staged_source(const Manifest& manifest, const std::string& path) {
  auto found = manifest.operations().find(path);
  return found == manifest.operations().end() ? "" : found->second.source;
}

TEST_F(UpgradeTail, CommitsOrSavesWhatIsStagedWithTheChangedMarker) {
  const RunResult committed = run_in_root([] {
    Manifest manifest;
    manifest.create_file("/flash/a", 0, 0) << "a";
    return finish_upgrade(Repository::instance(), manifest, ADMIT_UPGRADE, true);
  });
  EXPECT_EQ(committed.status, 0);
  EXPECT_EQ(read_file("/flash/a"), "a");
  EXPECT_TRUE(exists("/flash/PCKGS_CHANGED"));
  EXPECT_EQ(read_file("/flash/PCKGS_CHANGED"), "");
  EXPECT_FALSE(exists("/ram/MANIFEST"));

  ::unlink(host_path("/flash/PCKGS_CHANGED").c_str());
  const RunResult saved = run_in_root([] {
    Manifest manifest;
    manifest.create_file("/flash/b", 0, 0) << "b";
    const int status = finish_upgrade(Repository::instance(), manifest, ADMIT_UPGRADE, false);
    std::cout << staged_source(manifest, "/flash/PCKGS_CHANGED") << " "
              << staged_source(manifest, "/flash/b");
    return status;
  });
  EXPECT_EQ(saved.status, 0);
  const std::string marker_temp = saved.out.substr(0, saved.out.find(' '));
  const std::string b_temp = saved.out.substr(saved.out.find(' ') + 1);
  EXPECT_EQ(read_file("/ram/MANIFEST"),
            "M /flash/PCKGS_CHANGED " + marker_temp + "\nM /flash/b " + b_temp + "\n");
  EXPECT_FALSE(exists("/flash/b"));
  EXPECT_FALSE(exists("/flash/PCKGS_CHANGED"));

  ::unlink(host_path(b_temp).c_str());
  const RunResult unsaveable = run_in_root([] {
    Manifest manifest;
    manifest.create_file("/flash/two words", 0, 0) << "x";
    return finish_upgrade(Repository::instance(), manifest, ADMIT_UPGRADE, false);
  });
  EXPECT_EQ(unsaveable.status, 0);
  EXPECT_EQ(read_file("/ram/MANIFEST"), "");
  EXPECT_EQ(dir_entries(host_path("/ram")), "MANIFEST") << "staged files are deleted";

  write_file("/ram/MANIFEST", "U /flash/from-an-earlier-run\n");
  const RunResult idle = run_in_root([] {
    Manifest manifest;
    return finish_upgrade(Repository::instance(), manifest, ADMIT_UPGRADE, false);
  });
  EXPECT_EQ(idle.status, 0);
  EXPECT_EQ(idle.out, "");
  EXPECT_EQ(read_file("/ram/MANIFEST"), "U /flash/from-an-earlier-run\n");
  EXPECT_FALSE(exists("/flash/PCKGS_CHANGED"));
}

TEST_F(UpgradeTail, AnUpgradeThatDoesNotFitIsCancelledUnlessReinstalling) {
  require_mounts();
  ChildOptions options;
  options.mounts = {{"/flash", "64k"}};
  for (const uint32_t allow : {ADMIT_UPGRADE, ADMIT_UPGRADE | ADMIT_SAME}) {
    const RunResult run = run_in_root(
        [allow] {
          struct statfs info;
          if (::statfs("/flash", &info) != 0) return 99;
          Manifest manifest;
          manifest.create_file("/flash/big", 0, 0) << std::string(info.f_bsize, 'b');
          const std::string temp = staged_source(manifest, "/flash/big");
          const int status = finish_upgrade(Repository::instance(), manifest, allow, true);
          std::cout << status << " " << is_present(temp) << is_present("/flash/big")
                    << is_present("/flash/PCKGS_CHANGED") << "\n";
          return 0;
        },
        options);
    EXPECT_EQ(run.out,
              allow & ADMIT_SAME ? "0 111\n" : "ERROR: not enough space for upgrade\n28 000\n");
  }
}

}  // namespace
