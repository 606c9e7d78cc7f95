#include "tools/part_list.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <sstream>

#include "crypto/little_endian.h"
#include "format/part_stream.h"

std::string hex32(uint32_t value) {
  std::ostringstream text;
  text << "0x" << std::hex << std::setw(8) << std::setfill('0') << value;
  return text.str();
}

bool list_parts(const std::string& path, ContainerInfo& container,
                const std::function<void(const RawPart&)>& on_part, std::string& error,
                std::string& damage) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) {
    error = path + ": cannot be read: " + std::strerror(errno);
    return false;
  }
  container.size = uint64_t(in.tellg());
  in.seekg(0);
  char raw[CONTAINER_HEADER_SIZE];
  unsigned char header[CONTAINER_HEADER_SIZE];
  if (!in.read(raw, sizeof raw)) {
    error = path + ": shorter than a container header";
    return false;
  }
  std::copy(raw, raw + sizeof raw, header);
  container.magic = load_u32(header);
  if (container.magic != PACKAGE_MAGIC && container.magic != UNRECORDED_MAGIC) {
    error = path + ": not a package file (magic " + hex32(container.magic) + ")";
    return false;
  }
  container.declared = uint64_t(load_u32(header + 4)) + CONTAINER_HEADER_SIZE;
  damage.clear();
  for (uint64_t offset = CONTAINER_HEADER_SIZE; offset < container.size;) {
    RawPart part;
    part.offset = offset;
    if (!in.read(raw, PART_HEADER_SIZE)) {
      part.header_cut = true;
      on_part(part);
      damage = "cut short: the part header at offset " + std::to_string(offset);
      break;
    }
    std::copy(raw, raw + PART_HEADER_SIZE, header);
    part.type = load_u16(header);
    part.length = load_u32(header + 2);
    offset += PART_HEADER_SIZE + uint64_t(part.length);
    part.past_end = offset > container.size;
    if (part.past_end && damage.empty()) {
      damage = "cut short: the part at offset " + std::to_string(part.offset);
    }
    on_part(part);
    in.seekg(std::streamoff(offset));
  }
  if (damage.empty() && container.declared > container.size) {
    damage = "cut short: the container declares " + std::to_string(container.declared) + " bytes";
  }
  return true;
}
