// The throwaway root every fuzz target runs in. The code under test uses absolute paths
// ("/flash", "/ram"); entered once at start, the root keeps them off the machine. It is
// FUZZ_ROOT, which tools/fuzz.sh prepares with flash/, ram/, rw/ and tmp/ (RAM file systems
// are mounted there, private to the fuzzer); the corpus and artifact paths given to the
// fuzzer resolve inside it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Enters FUZZ_ROOT; aborts with a message when it cannot.
void enter_fuzz_root();

// Replaces `path` (parents made as needed) with the bytes.
void put_file(const std::string& path, const uint8_t* data, size_t size);

// Every entry below `dir`, with sizes, for checking that nothing was left behind; an empty
// staging directory is no leftover.
std::string listing(const std::string& dir);

// Aborts, so that the fuzzer keeps the input, when `held` is false.
void require(bool held, const char* what);
