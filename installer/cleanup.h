// Cleanup: the removal of every package not made for the current system generation.
#pragma once

class Console;
class Manifest;
class Repository;

// Schedules the uninstall of every package that neither is one of "system", "disk-drivers"
// and "tarn", nor a bundle, nor depends on "system" 3.22 final or later, and stages it.
void cleanup(Console& console, Repository& repository, Manifest& manifest);
