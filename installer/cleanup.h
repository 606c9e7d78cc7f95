// Cleanup: schedules the removal of every package not made for the current system.
#pragma once

class Manifest;
class Repository;

// Stages the removal of old packages. Not yet implemented: does nothing.
void cleanup(Repository& repository, Manifest& manifest);
