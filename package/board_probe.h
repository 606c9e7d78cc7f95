// The board probes: what the hardware says about the flash, the lowest system version the
// board accepts, and the processor family. Each asks its device once and holds no state;
// a device that cannot be opened gives the neutral answer.
//
// The devices are reached through BoardDevices, the one seam between these decisions and
// the machine, so that tests can substitute the answers:
//   "/dev/mtd0"   MEMGETINFO of the kernel's MTD interface, record in host byte order
//   "/dev/flash"  request 0xC0044626 (read-write): a BoardValueRecord, read and written;
//                 request 0x2000462B (read-only): the flash feature word as its result
//   the processor version register (PVR), read where the processor has one
#pragma once

#include <cstdint>

#include "package/version.h"

// The board driver's value query, in host byte order as the driver reads it.
struct BoardValueRecord {
  uint16_t value_class = 0;
  uint16_t number = 0;
  uint32_t value = 0;
};

constexpr unsigned long BOARD_VALUE_REQUEST = 0xC0044626;
constexpr unsigned long FLASH_FEATURE_REQUEST = 0x2000462B;

class BoardDevices {
 public:
  virtual ~BoardDevices() = default;
  // The erase block size that MEMGETINFO on "/dev/mtd0" reports; false when the device
  // cannot be opened or the query fails.
  virtual bool mtd_erase_size(uint32_t& size) const;
  // Sends `record` with BOARD_VALUE_REQUEST to "/dev/flash"; false when the device cannot
  // be opened. The request's own result is not examined.
  virtual bool query_board_value(BoardValueRecord& record) const;
  // The result of FLASH_FEATURE_REQUEST on "/dev/flash"; false when the device cannot be
  // opened or the request fails.
  virtual bool flash_feature_word(long& word) const;
  // The processor version register; 0 on a processor that has none.
  virtual uint32_t processor_version() const;
};

// The devices the probes ask: the machine's own unless a test installed others.
const BoardDevices& board_devices();
// Installs `devices` (borrowed, must outlive its use); null restores the machine's own.
void set_board_devices(const BoardDevices* devices);

// The PVR as this build reads it: with mfpvr on PowerPC, 0 elsewhere. One implementation
// per platform, chosen by the build.
uint32_t read_processor_version();

// "/dev/mtd0" reports erase blocks of exactly 256 KiB.
bool flash_has_large_erase_blocks();
// Value 37 of class 4 of the board: the lowest system version it accepts; 0 (no limit)
// without "/dev/flash", or when the driver leaves the value at 0.
Version query_min_version();
// The flash feature word has the bit of value 16 set. Named after the bit: nothing says more
// of it than that it picks the processor family on two processors.
bool flash_feature_word_bit16();
// 0 to 4, from the processor version register (and, on two processors, the flash).
int processor_family();
