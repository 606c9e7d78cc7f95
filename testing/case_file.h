// Test cases kept in readable text files beside the tests that run them. A file is blocks of
// "key: value" lines with a blank line between blocks; a line starting with "#" is a comment.
// Every block names its case on a "case:" line.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

struct TestCase {
  std::string where;                                       // "FILE:LINE" of the block's first line
  std::map<std::string, std::vector<std::string>> values;  // every line's value, by key

  // "FILE:LINE case name", for SCOPED_TRACE.
  std::string label() const;
  // The key's one value; "" when the key is absent.
  std::string text(const std::string& key) const;
  // The items of every line of the key, each line split at " | "; empty values give none.
  std::vector<std::string> list(const std::string& key) const;
  // A "yes" / "no" value; an absent key is no, any other value fails the test.
  bool yes(const std::string& key) const;
};

// `text` with each token replaced by its bytes wherever it stands, tokens taken in order;
// bytes put in are not searched again. For escapes ("\\n") and stand-ins ("{long}").
std::string with_tokens(std::string text,
                        const std::vector<std::pair<std::string, std::string>>& tokens);

// Reads the cases of PATH, relative to the source root. KEYS lists the keys a block may hold
// besides "case": "name" exactly once, "name?" at most once, "name*" any number of times. A
// file that cannot be read or holds no case, or a block with an unknown, missing or repeated
// key, fails the test; such a block is left out.
std::vector<TestCase> read_cases(const std::string& path, const std::vector<std::string>& keys);
