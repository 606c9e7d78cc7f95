// Readers of package headers: the header group of a package or bundle into a record, the
// dependency-style lists, the walk over a bundle's members, and the opening of an offered
// package file. They print nothing; a false result means the package is broken.
//
// Header group, in this order after the type-1 (package) or type-18 (bundle) header part:
// optional parts 24, 16 (architecture), 2, 23 (note), 3 (depends), 19 (provides),
// 17 (conflicts), then possibly 21 (image). Payload layouts are in authoring/package_writer.h.
//
// A group also ends at a file archive (4) or a signature (9), when the reader accepts those
// types: a package whose group has no architecture part of its own must not read the
// allowed trailer after its signature (an architecture part and an empty list part) as its
// architecture and a broken dependency list. Every reader of this system accepts them.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "format/part_stream.h"
#include "package/package.h"

constexpr size_t MAX_TEXT_PART = 65536;
constexpr size_t MAX_BUNDLE_MEMBERS = 4096;
// The entries one relation list may hold, and all lists of one offered file together: they
// are read before any signature is checked, and an offered file's are kept until the run
// ends. Real packages name a handful.
constexpr size_t MAX_LIST_ENTRIES = 4096;
constexpr size_t MAX_FILE_LIST_ENTRIES = 4 * MAX_LIST_ENTRIES;
constexpr const char* DEFAULT_ARCHITECTURE = "i386";

// How far reading a header group got.
enum class HeaderRead {
  broken,      // no header part, fewer than 32 header bytes, or a name unsafe for a path
  identified,  // name (safe) and version read; a later part of the group failed
  complete,
};

// Fills `info` from the header group whose header part is the current part of `stream`,
// and leaves the stream on the first part after the group (on a type-21 part, having set
// has_image_part). Not complete when the current part is not a header, the header is shorter
// than 32 bytes or cut short, the name is unsafe (empty, ".", "..", or holding "/",
// whitespace or a control character), a text is longer than 64 KiB or cut short, or a
// list fails; `info` is then partly filled and the stream stands where the reading stopped.
HeaderRead read_header_group(PackageInfo& info, PartStream& stream);
// read_header_group answered `complete`.
[[nodiscard]] bool read_header(PackageInfo& info, PartStream& stream);

// Walks the members that follow a bundle's header group: passes every other part before
// and after each (their image, archive and signature parts, and anything else), and calls
// `read_member` whenever the stream stands on a member header (type 1). `read_member`
// reads it and answers whether to go on. Ends at the end of the stream. False when
// `read_member` stopped it or a member beyond MAX_BUNDLE_MEMBERS follows.
bool walk_bundle_members(PartStream& stream, const std::function<bool()>& read_member);

// Appends the entries of the list that is the current part of `stream` to `list`, in file
// order. False when the count or an entry runs past the part or the source, the count is
// above MAX_LIST_ENTRIES, or an entry's name is empty or holds whitespace or a control
// character.
[[nodiscard]] bool read_list(PartStream& stream, std::vector<Dependency>& list);

// Adds the names of the bundle member list that is the current part of `stream` to
// `names`, each once. False when the list is broken (as read_list) or names more than
// MAX_BUNDLE_MEMBERS members; the names read before stay.
[[nodiscard]] bool read_member_names(PartStream& stream, std::set<std::string>& names);

// Describes the package file at `path` in the fresh record `file`: its headers, size and
// magic, and for a bundle every member's header group. No signature is checked. False when
// the file is broken: it is not a regular file (a pipe would never end), does not open, its
// size differs from the container length, a header group fails, its lists hold more than
// MAX_FILE_LIST_ENTRIES entries, or a bundle has no member or more than MAX_BUNDLE_MEMBERS.
[[nodiscard]] bool open_package_file(PackageFile& file, const std::string& path);
