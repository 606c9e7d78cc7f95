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

bool list_parts(const std::string& path, std::ostream* out, std::string& error,
                std::string& damage) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) {
    error = path + ": cannot be read: " + std::strerror(errno);
    return false;
  }
  const uint64_t size = uint64_t(in.tellg());
  in.seekg(0);
  char raw[CONTAINER_HEADER_SIZE];
  unsigned char header[CONTAINER_HEADER_SIZE];
  if (!in.read(raw, sizeof raw)) {
    error = path + ": shorter than a container header";
    return false;
  }
  std::copy(raw, raw + sizeof raw, header);
  const uint32_t magic = load_u32(header);
  if (magic != PACKAGE_MAGIC && magic != UNRECORDED_MAGIC) {
    error = path + ": not a package file (magic " + hex32(magic) + ")";
    return false;
  }
  const uint64_t declared = uint64_t(load_u32(header + 4)) + CONTAINER_HEADER_SIZE;
  std::ostringstream text;
  text << path << ": " << (magic == UNRECORDED_MAGIC ? "unrecorded package file" : "package file")
       << ", " << size << " bytes, container length " << declared
       << "\nparts:\n    offset  type    length\n";
  damage.clear();
  for (uint64_t offset = CONTAINER_HEADER_SIZE; offset < size;) {
    if (!in.read(raw, PART_HEADER_SIZE)) {
      text << std::setw(10) << offset << "  part header cut short\n";
      damage = "cut short: the part header at offset " + std::to_string(offset);
      break;
    }
    std::copy(raw, raw + PART_HEADER_SIZE, header);
    const uint32_t length = load_u32(header + 2);
    text << std::setw(10) << offset << std::setw(6) << load_u16(header) << std::setw(10) << length;
    const uint64_t next = offset + PART_HEADER_SIZE + uint64_t(length);
    if (next > size) {
      text << "  runs past the end of the file";
      if (damage.empty()) damage = "cut short: the part at offset " + std::to_string(offset);
    }
    text << "\n";
    offset = next;
    in.seekg(std::streamoff(offset));
  }
  if (damage.empty() && declared > size) {
    damage = "cut short: the container declares " + std::to_string(declared) + " bytes";
  }
  if (out != nullptr) *out << text.str();
  return true;
}
