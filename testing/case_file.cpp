#include "testing/case_file.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

std::string trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") + 1 - first);
}

// Checks a finished block against KEYS; false when it is malformed.
bool well_formed(const TestCase& block, const std::vector<std::string>& keys) {
  bool good = true;
  std::map<std::string, char> kinds{{"case", ' '}};
  for (const std::string& key : keys) {
    const char last = key.empty() ? ' ' : key.back();
    const bool marked = last == '?' || last == '*';
    kinds[marked ? key.substr(0, key.size() - 1) : key] = marked ? last : ' ';
  }
  for (const auto& [key, values] : block.values) {
    const auto kind = kinds.find(key);
    if (kind == kinds.end()) {
      ADD_FAILURE() << block.where << ": unknown key \"" << key << "\"";
      good = false;
    } else if (values.size() > 1 && kind->second != '*') {
      ADD_FAILURE() << block.where << ": key \"" << key << "\" given " << values.size() << " times";
      good = false;
    }
  }
  for (const auto& [key, kind] : kinds) {
    if (kind == ' ' && block.values.count(key) == 0) {
      ADD_FAILURE() << block.where << ": no \"" << key << "\"";
      good = false;
    }
  }
  return good;
}

}  // namespace

std::string with_tokens(std::string text,
                        const std::vector<std::pair<std::string, std::string>>& tokens) {
  for (const auto& [token, bytes] : tokens) {
    for (size_t at = 0; (at = text.find(token, at)) != std::string::npos; at += bytes.size()) {
      text.replace(at, token.size(), bytes);
    }
  }
  return text;
}

std::string TestCase::label() const { return where + " " + text("case"); }

std::string TestCase::text(const std::string& key) const {
  const auto found = values.find(key);
  return found == values.end() || found->second.empty() ? "" : found->second.front();
}

std::vector<std::string> TestCase::list(const std::string& key) const {
  std::vector<std::string> items;
  const auto found = values.find(key);
  if (found == values.end()) return items;
  for (const std::string& line : found->second) {
    if (line.empty()) continue;
    for (size_t start = 0;;) {
      const size_t bar = line.find(" | ", start);
      items.push_back(trimmed(line.substr(start, bar == std::string::npos ? bar : bar - start)));
      if (bar == std::string::npos) break;
      start = bar + 3;
    }
  }
  return items;
}

bool TestCase::yes(const std::string& key) const {
  const std::string value = text(key);
  if (value != "yes" && value != "no" && !value.empty()) {
    ADD_FAILURE() << label() << ": \"" << key << "\" is \"" << value << "\", not yes or no";
  }
  return value == "yes";
}

std::vector<TestCase> read_cases(const std::string& path, const std::vector<std::string>& keys) {
  std::vector<TestCase> cases;
  std::ifstream file(std::string(INSTALLER_SOURCE_DIR) + "/" + path);
  if (!file) {
    ADD_FAILURE() << "can not read " << INSTALLER_SOURCE_DIR << "/" << path;
    return cases;
  }
  TestCase block;
  const auto finish = [&] {
    if (!block.values.empty() && well_formed(block, keys)) cases.push_back(block);
    block = TestCase();
  };
  std::string line;
  for (int number = 1; std::getline(file, line); ++number) {
    line = trimmed(line);
    if (line.empty()) {
      finish();
      continue;
    }
    if (line[0] == '#') continue;
    const size_t colon = line.find(':');
    if (colon == std::string::npos) {
      ADD_FAILURE() << path << ":" << number << ": no \"key:\" in \"" << line << "\"";
      continue;
    }
    if (block.values.empty()) block.where = path + ":" + std::to_string(number);
    block.values[trimmed(line.substr(0, colon))].push_back(trimmed(line.substr(colon + 1)));
  }
  finish();
  if (cases.empty()) ADD_FAILURE() << path << " holds no case";
  return cases;
}
