// The installer's entry point; `main` only forwards to it.
#pragma once

// Runs one installer invocation and returns its exit status (-1 when stream mode
// cannot create its image file).
int run_installer(int argc, char* argv[]);
