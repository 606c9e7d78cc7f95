// Entering a private mount namespace, and a user namespace that maps the caller to root
// when it is not root, so that a process may chroot into a throwaway root and mount there
// without touching the machine. Used by the test fixture and the fuzz targets.
#pragma once

#include <string>

// False with a reason when the kernel or the machine does not allow it.
bool enter_namespaces(std::string& reason);
