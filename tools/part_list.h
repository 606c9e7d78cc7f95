// The raw part sequence of a package file, read without the part stream so that parts of
// every type are seen, and the first place where the file is cut short.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

std::string hex32(uint32_t value);

// Lists the container header and every part (offset, type, length) to `out` when it is not
// null. False with a message in `error` when the file cannot be read or is not a package
// file; otherwise `damage` is empty, or says where the file is cut short.
bool list_parts(const std::string& path, std::ostream* out, std::string& error,
                std::string& damage);
