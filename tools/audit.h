// The audit of a router root: whether the files installed from the package images that the
// database keeps still hold the images' bytes and modes, and whether each image still
// verifies. It only reads, from outside the root (tools/root_reader.h), and extracts nothing:
// installed files are compared with the archive while it is decompressed.
//
// A package is checked when its database entry keeps an image: "image" in its database
// directory (possibly a link to "/flash/bootimage"), or else "/rw/pckg/.images/" + the
// entry's name. A bundle's image checks each member, disabled or not by the member's own
// database entry. The installed files are found by the rules of installation
// (archive_target, is_written_entry). A package whose image is the boot image itself was
// installed without its files (the "bootimage" mode): only its signature is checked.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "format/signature.h"

enum class FindingKind {
  missing,         // an installed file is gone
  changed,         // its bytes differ, or something else stands in its place
  mode,            // its permission bits differ
  unsigned_image,  // the image verifies below the level its name and version require
  no_image,        // an entry's image is gone or cannot be read as a package the installer
                   // would install (its length, header or archive is broken), or a package
                   // named for the audit keeps none
};

struct Finding {
  FindingKind kind;
  std::string subject;  // a path inside the root ("/flash/etc/x") or a package name
};

// "missing /flash/etc/x", "changed ...", "mode ...", "unsigned NAME", "no image NAME".
std::string finding_text(const Finding& finding);
// "missing", "changed", "mode", "unsigned" or "no_image": the kind in JSON output.
const char* finding_kind_name(FindingKind kind);

struct AuditReport {
  // In the order of the database entries' names, then of the archives. The files of an
  // image that does not verify, or whose archive breaks off, are not judged: that image
  // gives one finding of its own.
  std::vector<Finding> findings;
  // What could not be read ("PATH: reason"); nothing is judged about it.
  std::vector<std::string> problems;
  size_t packages = 0;   // packages whose images were checked
  size_t files = 0;      // installed files compared
  size_t text_form = 0;  // packages kept in text form: only their files' presence checked
};

// Audits the packages installed in `root` ("/" for this machine), or only those named in
// `names`; a bundle's name stands for its members, and a name that no kept image carries
// is a `no_image` finding. Signatures are checked against `keys`. False when the database
// cannot be listed (`problems` says why); otherwise true, whatever was found.
bool audit_root(const std::string& root, const SignatureKeys& keys,
                const std::vector<std::string>& names, AuditReport& report);
