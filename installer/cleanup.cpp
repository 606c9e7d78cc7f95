#include "installer/cleanup.h"

void cleanup(Repository&, Manifest&) {}
