// The text forms the package tool reads and prints for package fields: list entries
// ("name,min=6.48,max=7.1beta4,weight=10"), versions with 0 for an open bound, numbers.
#pragma once

#include <cstdint>
#include <string>

#include "package/package.h"

// "NAME", "NAME>=V", "NAME<=V" or "NAME=V" (both bounds), then any of ",min=V", ",max=V"
// and ",weight=N", each bound set once; V is a version text or 0 (no bound). False with a
// message in `error` otherwise.
[[nodiscard]] bool parse_dependency(const std::string& text, Dependency& entry, std::string& error);

// "name min=6.48 max=0 weight=0": the form inspect prints, 0 standing for an open bound.
std::string format_dependency(const Dependency& entry);

// `text` for a terminal: control bytes as "\xNN", so that a note cannot move the cursor,
// clear the screen or hide what follows it.
std::string printable(const std::string& text);

// A version text, or 0 for none.
std::string bound_text(Version version);

// Decimal, or hexadecimal after "0x"; false unless the whole text is a number below 2^32.
[[nodiscard]] bool parse_u32(const std::string& text, uint32_t& value);
// Same for a signed 32-bit number with an optional "-".
[[nodiscard]] bool parse_i32(const std::string& text, int32_t& value);

// False with a message, naming the accepted form, when `name` cannot stand in a 16-byte
// name field, would not read back from the database (empty, too long, white space, control
// characters, "/") or would read as a list entry's syntax (",<>=").
[[nodiscard]] bool check_package_name(const std::string& name, std::string& error);
