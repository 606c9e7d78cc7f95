// The kinds of path the commit treats apart: downloads, deleted last, and the records that
// tell which packages are installed, changed after every other file.
#pragma once

#include <string>

#include "package/system_paths.h"

// A file directly in one of the three download folders.
bool is_download(const std::string& path);
// A path of the database or the boot image.
bool is_record(const std::string& path);
