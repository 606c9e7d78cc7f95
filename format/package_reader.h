// Readers of package headers: the header group of a package or bundle into a record, the
// dependency-style lists, and the opening of an offered package file with its bundle
// members. They print nothing; a false result means the package is broken.
//
// Header group, in this order after the type-1 (package) or type-18 (bundle) header part:
// optional parts 24, 16 (architecture), 2, 23 (note), 3 (depends), 19 (provides),
// 17 (conflicts), then possibly 21 (image). Payload layouts are in format/package_writer.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "format/part_stream.h"
#include "package/package.h"

constexpr size_t MAX_TEXT_PART = 65536;
constexpr const char* DEFAULT_ARCHITECTURE = "i386";

// Fills `info` from the header group whose header part is the current part of `stream`,
// and leaves the stream on the first part after the group (on a type-21 part, having set
// has_part21). False when the current part is not a header, the header is shorter than 32
// bytes or cut short, the name is unsafe (empty, ".", "..", or holding "/", whitespace or
// a control character), a text is longer than 64 KiB or cut short, or a list fails; `info`
// is then partly filled.
[[nodiscard]] bool read_header(PackageInfo& info, PartStream& stream);

// Appends the entries of the list that is the current part of `stream` to `list`, in file
// order. False when the count or an entry runs past the part or the source, or an entry's
// name is empty or holds whitespace or a control character.
[[nodiscard]] bool read_list(PartStream& stream, std::vector<Dependency>& list);

// Describes the package file at `path` in the fresh record `file`: its headers, size and
// magic, and for a bundle every member's header group. No signature is checked. False when
// the file is broken: it does not open, its size differs from the container length, a
// header group fails, or a bundle has no member or more than 4096.
[[nodiscard]] bool open_package_file(PackageFile& file, const std::string& path);
