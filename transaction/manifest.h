// The file transaction of one run: every change to the installed system is recorded
// here, with new contents written to temporary files, and reaches its final path only
// when the transaction is committed.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <fstream>
#include <map>
#include <string>

constexpr const char* SAVED_MANIFEST_PATH = "/ram/MANIFEST";

enum class ManifestKind {
  move,    // somebody else's file renamed onto the path
  staged,  // a temporary file of this transaction renamed onto the path
  link,    // a symbolic link made at the path
  remove,  // the path deleted
};

struct ManifestOp {
  ManifestKind kind = ManifestKind::remove;
  std::string source;  // file to move, or link target; empty for remove
};

class Manifest {
 public:
  Manifest() = default;
  Manifest(const Manifest&) = delete;
  Manifest& operator=(const Manifest&) = delete;

  // Pending operations by final path, in byte order of the paths.
  const std::map<std::string, ManifestOp>& operations() const { return operations_; }
  bool empty() const { return operations_.empty(); }

  // Records `op` for `path`, replacing (and deleting the temporary file of) an earlier one.
  void put_op(const std::string& path, ManifestOp op);
  void add_move(const std::string& source, const std::string& target);
  void add_link(const std::string& link_target, const std::string& link_path);
  void remove_path(const std::string& path);
  // A stream on a new temporary file that will replace `path`; placed on the target's
  // file system when it has room for `size_hint` bytes plus a tenth. The caller judges
  // success by the stream's state. `mode` 0 leaves the file at 0600.
  std::ofstream create_file(const std::string& path, uint64_t size_hint, mode_t mode);
  // Withdraws a pending removal of the directory `path`; false when another kind of
  // operation is pending for it, or it exists as something other than a directory.
  bool keep_directory(const std::string& path);

  void save(const std::string& file) const;
  // Adds the operations stored in `file` as moves, links and removals; false when the
  // file is missing or a line is malformed (what was read before stays).
  bool load(const std::string& file);

  // Forgets every operation without touching any file.
  void clear() { operations_.clear(); }

 private:
  std::map<std::string, ManifestOp> operations_;
};
