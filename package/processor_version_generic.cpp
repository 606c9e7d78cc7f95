// Processors without a PowerPC version register: no family-specific file is installed.
#include "package/board_probe.h"

uint32_t read_processor_version() { return 0; }
