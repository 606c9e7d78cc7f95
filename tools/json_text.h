// A small JSON writer for the tool's --json output: one object per run, written as it
// goes, with strings escaped so that any byte a package carries stays valid JSON.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

// `text` as a JSON string, quotes included. Bytes that are not valid UTF-8 are written as
// \u00XX escapes of their value, so that the output is valid whatever the input.
std::string json_string(const std::string& text);

class JsonWriter {
 public:
  explicit JsonWriter(std::ostream& out) : out_(out) {}
  // Object members; `key` is written escaped.
  JsonWriter& key(const std::string& name);
  JsonWriter& value(const std::string& text);
  JsonWriter& value(const char* text) { return value(std::string(text)); }
  JsonWriter& value(uint64_t number);
  JsonWriter& value(int64_t number);
  JsonWriter& value(bool truth);
  JsonWriter& null();
  JsonWriter& begin_object();
  JsonWriter& end_object();
  JsonWriter& begin_array();
  JsonWriter& end_array();
  // Ends the top-level value with a line end.
  void finish() { out_ << "\n"; }

 private:
  void separate();

  std::ostream& out_;
  bool first_ = true;  // nothing written yet in the innermost object or array
  bool after_key_ = false;
};
