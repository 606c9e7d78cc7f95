#include "installer/root_change.h"

#include <unistd.h>

bool change_root(const std::string& root) { return ::chroot(root.c_str()) == 0; }
