#include "transaction/boot_space.h"

#include <sys/stat.h>
#include <sys/statfs.h>

#include <iostream>

#include "testing/root_fixture.h"
#include "transaction/manifest.h"
#include "testing/test_files.h"

namespace {

class BootSpaceTest : public RootFixture {};

// Whether moving each source onto its target alone would fit, as "1" or "0".
std::string fits_each(const std::vector<std::pair<std::string, std::string>>& moves) {
  std::string answers;
  for (const auto& [source, target] : moves) {
    Manifest manifest;
    manifest.add_move(source, target);
    answers += fits_boot_space(manifest) ? "1" : "0";
  }
  return answers;
}

TEST_F(BootSpaceTest, OnlyMovesFromAnotherDeviceMustLeaveSeventeenBlocks) {
  require_mounts();
  ChildOptions options;
  options.mounts = {{"/flash", "128k"}};
  const RunResult run = run_in_root(
      [] {
        struct statfs info;
        if (::statfs("/flash", &info) != 0 || info.f_bfree != 32) return 1;
        const size_t block = info.f_bsize;
        put_file("/ram/15", std::string(15 * block, 'a'));
        put_file("/ram/16", std::string(16 * block, 'b'));
        put_file("/ram/15+", std::string(15 * block + 1, 'c'));  // rounds up to 16
        put_file("/ram/one", "x");
        std::cout << fits_each({{"/ram/15", "/flash/a"},
                                {"/ram/16", "/flash/a"},
                                {"/ram/15+", "/flash/a"},
                                {"/ram/missing", "/flash/a"}})
                  << " ";
        // Without "/flash/boot" its account has no blocks at all.
        std::cout << fits_each({{"/ram/one", "/flash/bootimage"}});
        ::mkdir("/flash/boot", 0755);
        std::cout << fits_each({{"/ram/one", "/flash/bootimage"}}) << " ";
        // A replaced file gives its block back: 31 - 15 + 1 leaves 17.
        put_file("/flash/old", "o");
        std::cout << fits_each({{"/ram/15", "/flash/old"}, {"/ram/15", "/flash/other"}}) << " ";
        // But only once its copy is in place: with 11 blocks free, a file of 20 blocks can
        // be replaced by one of 10, not by one of 16, though both would end with more room.
        put_file("/flash/big", std::string(20 * block, 'o'));
        put_file("/ram/10", std::string(10 * block, 'd'));
        std::cout << fits_each({{"/ram/16", "/flash/big"}, {"/ram/10", "/flash/big"}}) << " ";
        ::unlink("/flash/big");
        // A consumed download is deleted after everything else: its room does not count.
        ::mkdir("/flash/var", 0755);
        ::mkdir("/flash/var/pckg", 0755);
        if (!put_file("/flash/var/pckg/offer.vmp", std::string(20 * block, 'v'))) return 2;
        for (const char* offer : {"/flash/var/pckg/offer.vmp", "/flash/var/offer.vmp"}) {
          ::rename("/flash/var/pckg/offer.vmp", offer);
          Manifest manifest;
          manifest.remove_path(offer);
          manifest.add_move("/ram/10", "/flash/new");
          std::cout << fits_boot_space(manifest);
          ::unlink(offer);
        }
        std::cout << " ";
        // With two blocks left, removals, links and files staged on the flash still fit.
        put_file("/flash/full", std::string(29 * block, 'f'));
        Manifest manifest;
        std::cout << fits_boot_space(manifest);
        manifest.remove_path("/flash/full");
        manifest.add_link("/ram/nowhere", "/flash/link");
        std::cout << fits_boot_space(manifest);
        manifest.clear();
        manifest.create_file("/flash/new", 1, 0) << std::string(block + 1, 'n');
        std::cout << fits_boot_space(manifest)
                  << staged_source(manifest, "/flash/new").rfind("/flash/", 0);
        return 0;
      },
      options);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "1001 01 10 01 01 1110");
}

}  // namespace
