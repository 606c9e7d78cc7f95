// The upgrade driver: installs the package files of the first non-empty download folder.
#pragma once

#include <cstdint>

class Manifest;
class Repository;

// Stages the upgrade from the download folders; cancels the manifest on failure.
// Not yet implemented: does nothing.
void upgrade(Repository& repository, Manifest& manifest, uint32_t allow);
