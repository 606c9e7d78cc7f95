#include "package/board_probe.h"

#include <gtest/gtest.h>

#include <sstream>

#include "testing/case_file.h"
#include "testing/fake_board.h"
#include "testing/root_fixture.h"

// Absent devices first, then the board's answers; the processor family by its table.
TEST(BoardProbe, FlashQueriesAndProcessorFamilies) {
  FakeBoard board;
  EXPECT_FALSE(flash_has_large_erase_blocks());
  EXPECT_EQ(query_min_version(), 0u);
  EXPECT_FALSE(flash_feature_word_bit16());
  board.has_mtd = true;
  board.erase_size = 0x20000;
  EXPECT_FALSE(flash_has_large_erase_blocks());
  board.erase_size = 0x40000;
  EXPECT_TRUE(flash_has_large_erase_blocks());
  board.has_flash = true;
  board.min_version = 0x06306600;
  EXPECT_EQ(query_min_version(), 0x06306600u);
  board.feature_word = 0x10;
  EXPECT_TRUE(flash_feature_word_bit16());
  for (const TestCase& c : read_cases("package/testdata/processor_families.txt", {"row*"})) {
    SCOPED_TRACE(c.label());
    for (const std::string& row : c.list("row")) {
      std::istringstream in(row);
      std::string flash, arrow;
      int family = -1;
      ASSERT_TRUE(in >> std::hex >> board.pvr >> flash >> board.feature_word >> arrow >> std::dec >>
                  family);
      board.has_flash = flash == "flash";
      EXPECT_EQ(processor_family(), family) << row;
    }
  }
}

using MachineBoard = RootFixture;

// The machine's own devices, in a root where they are missing, then plain files that
// answer no request: every probe gives its neutral answer.
TEST_F(MachineBoard, MissingOrSilentDevicesGiveNeutralAnswers) {
  for (bool present : {false, true}) {
    if (present) {
      write_file("/dev/mtd0", "");
      write_file("/dev/flash", "");
    }
    const RunResult run = run_in_root([] {
      return flash_has_large_erase_blocks() || query_min_version() != 0 ||
             flash_feature_word_bit16();
    });
    EXPECT_EQ(run.status, 0) << present;
  }
}

// The build picks the register reader: mfpvr on PowerPC, where every processor has a
// version, and none elsewhere.
TEST(ProcessorVersion, ReadFromTheRegisterOnlyOnPowerPC) {
#if defined(__powerpc__)
  EXPECT_NE(read_processor_version(), 0u);
#else
  EXPECT_EQ(read_processor_version(), 0u);
#endif
}
