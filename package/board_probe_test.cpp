#include "package/board_probe.h"

#include <gtest/gtest.h>

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
  // 0x80211010: bits 23..16 are 0x21, but its first match decides.
  const struct Row {
    uint32_t pvr;
    bool flash;
    long feature_word;
    int family;
  } rows[] = {
      {0x80211000, true, 16, 2},   {0x80211000, true, 0, 4},    {0x80211000, false, 16, 4},
      {0x802121FF, true, 0x10, 2}, {0x80212100, true, 0xEF, 4}, {0x80211010, true, 0, 4},
      {0x00200000, false, 0, 2},   {0x00210000, false, 0, 2},   {0x00220000, false, 0, 0},
      {0x001F0000, false, 0, 0},   {0x80830000, false, 0, 1},   {0x00850000, false, 0, 1},
      {0x00860000, false, 0, 0},   {0x13020000, false, 0, 3},   {0x1302FFFF, false, 0, 3},
      {0x13030000, false, 0, 0},   {0x00000000, false, 0, 0},
  };
  for (const Row& row : rows) {
    board.pvr = row.pvr;
    board.has_flash = row.flash;
    board.feature_word = row.feature_word;
    EXPECT_EQ(processor_family(), row.family)
        << std::hex << "pvr " << row.pvr << " flash " << row.flash << " word " << row.feature_word;
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
