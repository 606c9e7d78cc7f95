// The seam around changing the process root, so that tests can run whole installer
// invocations inside a throwaway root.
#pragma once

#include <string>

// Makes `root` the process root; false with errno set when that is refused.
bool change_root(const std::string& root);

// Makes `root` the process root and "/" the working directory, for a tool that only reads
// a router root from outside it. A caller that is not root first enters a user namespace
// of its own, where it may change root without privileges. False with a reason otherwise.
bool enter_root_to_read(const std::string& root, std::string& reason);
