// Reading a router root from outside it, without entering it: a path inside the root is
// turned into a host path as a process chrooted into the root would see it (files are then
// read with OpenAs::untouched). No privileges are needed, only read access to the root.
#pragma once

#include <string>

// The host path that the absolute `path` names inside `root` ("/" for the machine's own).
// Symbolic links are followed as inside the root: an absolute target starts again at the
// root, and ".." never climbs above it. A link in the last component is followed only with
// `follow_last`. False with errno set (ENOENT, ENOTDIR, ELOOP, EACCES, ...) when a
// component is missing, is not a directory, or a link cannot be read.
[[nodiscard]] bool resolve_in_root(const std::string& root, const std::string& path,
                                   bool follow_last, std::string& host_path);
