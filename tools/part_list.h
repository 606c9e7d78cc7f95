// The raw part sequence of a package file, read without the part stream so that parts of
// every type are seen, and the first place where the file is cut short.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

std::string hex32(uint32_t value);

struct ContainerInfo {
  uint32_t magic = 0;
  uint64_t size = 0;      // of the file
  uint64_t declared = 0;  // the container's length with its header
};

struct RawPart {
  uint64_t offset = 0;
  uint16_t type = 0;
  uint32_t length = 0;
  bool header_cut = false;  // the file ends inside the part header: type and length unknown
  bool past_end = false;    // the payload runs past the end of the file
};

// Reads the container header into `container`, then hands every part to `on_part` in file
// order. False with a message in `error` when the file cannot be read or is not a package
// file; otherwise `damage` is empty, or says where the file is cut short.
bool list_parts(const std::string& path, ContainerInfo& container,
                const std::function<void(const RawPart&)>& on_part, std::string& error,
                std::string& damage);
