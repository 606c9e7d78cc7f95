// Version texts as the package tool takes them: the inverse of version_text.
#pragma once

#include <string>

#include "package/version.h"

// Reads "3.20rc2", "1.2.3", "4.0beta7", "6.48", "2.1alpha" into `version`. False for any
// text that version_text would not write back unchanged: numbers above 255, leading zeros,
// a revision of 0 written out ("1.2.0"), unknown suffixes, stray characters.
[[nodiscard]] bool parse_version_text(const std::string& text, Version& version);
