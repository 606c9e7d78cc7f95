// The files that installing a kept image put on the flash, found by the rules of
// installation: for the queries, since a record read from an image carries no file list.
#pragma once

#include <string>
#include <vector>

class Package;

// Appends to `paths` the flash paths ("/etc/x", below /flash) of the written entries of
// `package`'s archive in the image at `image_path`: the package's own image, or its
// bundle's, in which its member is looked up by name. False when the image cannot be read
// or breaks off before the package's archive ends; `paths` then holds what was found.
bool image_files(const std::string& image_path, const Package& package,
                 std::vector<std::string>& paths);

// Where the database keeps the image that `package` was read from: its own entry's or,
// for a bundle member, the bundle's; empty when it keeps none.
std::string kept_image_of(const Package& package);
