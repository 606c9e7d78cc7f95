// The seam around changing the process root, so that tests can run whole installer
// invocations inside a throwaway root.
#pragma once

#include <string>

// Makes `root` the process root; false with errno set when that is refused.
bool change_root(const std::string& root);
