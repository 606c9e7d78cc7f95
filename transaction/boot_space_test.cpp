#include "transaction/boot_space.h"

#include <sys/stat.h>
#include <sys/statfs.h>

#include <iostream>

#include "testing/root_fixture.h"
#include "transaction/manifest.h"

namespace {

using BootSpaceTest = RootFixture;

// " label=1" when moving `source` onto `target` alone would fit, " label=0" when not.
void print_fits(const char* label, const std::string& source, const std::string& target) {
  Manifest manifest;
  manifest.add_move(source, target);
  std::cout << " " << label << "=" << fits_boot_space(manifest);
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
        print_fits("15", "/ram/15", "/flash/a");
        print_fits("16", "/ram/16", "/flash/a");
        print_fits("15+", "/ram/15+", "/flash/a");
        print_fits("missing", "/ram/missing", "/flash/a");
        // Without "/flash/boot" its account has no blocks at all.
        print_fits("bootimage", "/ram/one", "/flash/bootimage");
        ::mkdir("/flash/boot", 0755);
        print_fits("with-boot", "/ram/one", "/flash/bootimage");
        // A replaced file gives its block back: 31 - 15 + 1 leaves 17.
        put_file("/flash/old", "o");
        print_fits("over-old", "/ram/15", "/flash/old");
        print_fits("beside-old", "/ram/15", "/flash/other");
        // But only once its copy is in place: with 11 blocks free, a file of 20 blocks can
        // be replaced by one of 10, not by one of 16, though both would end with more room.
        put_file("/flash/big", std::string(20 * block, 'o'));
        put_file("/ram/10", std::string(10 * block, 'd'));
        print_fits("16-over-20", "/ram/16", "/flash/big");
        print_fits("10-over-20", "/ram/10", "/flash/big");
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
          std::cout << " " << offer << "=" << fits_boot_space(manifest);
          ::unlink(offer);
        }
        // With two blocks left, removals, links and files staged on the flash still fit.
        put_file("/flash/full", std::string(29 * block, 'f'));
        Manifest manifest;
        std::cout << "\nempty=" << fits_boot_space(manifest);
        manifest.remove_path("/flash/full");
        manifest.add_link("/ram/nowhere", "/flash/link");
        std::cout << " remove+link=" << fits_boot_space(manifest);
        manifest.clear();
        manifest.create_file("/flash/new", 1, 0) << std::string(block + 1, 'n');
        const bool on_flash = staged_source(manifest, "/flash/new").rfind("/flash/", 0) == 0;
        std::cout << " staged=" << fits_boot_space(manifest) << " on-flash=" << on_flash;
        return 0;
      },
      options);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out,
            " 15=1 16=0 15+=0 missing=1 bootimage=0 with-boot=1 over-old=1 beside-old=0"
            " 16-over-20=0 10-over-20=1 /flash/var/pckg/offer.vmp=0 /flash/var/offer.vmp=1\n"
            "empty=1 remove+link=1 staged=1 on-flash=1");
}

}  // namespace
