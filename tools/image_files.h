// The files that installing a kept image put on the flash, found by the rules of
// installation: for the queries, since a record read from an image carries no file list.
#pragma once

#include <functional>
#include <istream>
#include <string>
#include <vector>

class Package;
class PartStream;
struct ArchiveEntryHeader;

using PathPresent = std::function<bool(const std::string&)>;
// Takes one written entry, with the flash path installation gave it, and must read or skip
// the entry's data from `data`; false stops the walk as broken.
using InstalledFileVisit = std::function<bool(const ArchiveEntryHeader& entry,
                                              const std::string& target, std::istream& data)>;

// Walks the archive `stream` stands on as installation does, handing `visit` each written
// entry. False where installation would have refused the package (a name cut short or
// unsafe, data cut short) or where `visit` said so.
bool walk_installed_files(const Package& package, PartStream& stream, const PathPresent& present,
                          const InstalledFileVisit& visit);

// Appends to `paths` the flash paths ("/etc/x", below /flash) of the written entries of
// `package`'s archive in the image at `image_path`: the package's own image, or its
// bundle's, in which its member is looked up by name. False when the image cannot be read
// or breaks off before the package's archive ends; `paths` then holds what was found.
bool image_files(const std::string& image_path, const Package& package,
                 std::vector<std::string>& paths);

// The flash path ("/etc/x", below /flash) of the file that installation wrote for archive
// entry `name` of `package`. Its files stay where it was installed, enabled or disabled: a
// later disable or enable changes only its database markers. So the place its marker tells
// comes first, and the other one is taken when only it holds the file (`present`, given a
// path inside the root).
std::string installed_target(const Package& package, const std::string& name,
                             const PathPresent& present);

// Where the database keeps the image that `package` was read from: its own entry's or,
// for a bundle member, the bundle's; empty when it keeps none.
std::string kept_image_of(const Package& package);
