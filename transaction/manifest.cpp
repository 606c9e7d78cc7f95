#include "transaction/manifest.h"

// Not yet implemented: the manifest records nothing.
void Manifest::put_op(const std::string&, ManifestOp) {}
void Manifest::add_move(const std::string&, const std::string&) {}
void Manifest::add_link(const std::string&, const std::string&) {}
void Manifest::remove_path(const std::string&) {}
std::ofstream Manifest::create_file(const std::string&, uint64_t, mode_t) { return {}; }
bool Manifest::keep_directory(const std::string&) { return true; }
void Manifest::save(const std::string&) const {}
bool Manifest::load(const std::string&) { return false; }
