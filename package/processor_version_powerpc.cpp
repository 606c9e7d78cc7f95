// The processor version register of a PowerPC processor (special-purpose register 287).
#include "package/board_probe.h"

uint32_t read_processor_version() {
  uint32_t pvr;
  __asm__ volatile("mfpvr %0" : "=r"(pvr));
  return pvr;
}
