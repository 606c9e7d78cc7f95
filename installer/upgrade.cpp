#include "installer/upgrade.h"

void upgrade(Repository&, Manifest&, uint32_t) {}
