// Prints what the installer's board probes answer on the machine it runs on, beside the raw
// values they are drawn from, so that the board test can hold them against the kernel's
// own view (sysfs, /proc/cpuinfo).
#include <cstdio>

#include "package/board_probe.h"

int main() {
  const BoardDevices& devices = board_devices();
  uint32_t erase_size = 0;
  const bool mtd = devices.mtd_erase_size(erase_size);
  long feature = 0;
  const bool feature_read = devices.flash_feature_word(feature);
  std::printf("probe mtd0_memgetinfo=%s erase_size=%u large_erase_blocks=%d\n",
              mtd ? "ok" : "failed", erase_size, flash_has_large_erase_blocks() ? 1 : 0);
  std::printf("probe flash_feature=%s min_version=%u feature_bit16=%d\n",
              feature_read ? "read" : "absent", query_min_version(),
              flash_feature_word_bit16() ? 1 : 0);
  std::printf("probe pvr=0x%08x family=%d\n", devices.processor_version(), processor_family());
  return 0;
}
