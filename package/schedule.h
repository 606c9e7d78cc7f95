// Uninstall, disable and enable planning for the actions scheduled on installed packages.
#pragma once

class Manifest;
class Repository;

// Stages the scheduled uninstall, disable and enable actions; true when something was
// applied. Higher report levels print more. Not yet implemented: does nothing.
bool apply_scheduled(Repository& repository, Manifest& manifest, int report);
