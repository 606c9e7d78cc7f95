// The argument scanner of the package tool: long options with values, repeatable ones, and
// positional arguments, checked against a table so that every mistake gets a message.
#pragma once

#include <map>
#include <string>
#include <vector>

struct OptionDefinition {
  const char* name;        // without the leading "--"
  const char* value_name;  // null for a switch
  bool repeatable;
  const char* help;
};

class CommandLine {
 public:
  // Reads "--name value", "--name=value", "--switch", "--help" and positional arguments
  // ("--" ends the options). False with a message in `error` on an unknown option, a
  // missing value, or a value given twice to an option that is not repeatable.
  [[nodiscard]] bool parse(const std::vector<std::string>& args,
                           const std::vector<OptionDefinition>& options, std::string& error);

  bool help = false;
  std::vector<std::string> positional;

  bool has(const std::string& name) const { return values_.count(name) != 0; }
  // The value of a non-repeatable option; empty when absent.
  std::string value(const std::string& name) const;
  // Every value of an option in the order given; empty when absent.
  const std::vector<std::string>& values(const std::string& name) const;

 private:
  std::map<std::string, std::vector<std::string>> values_;
};

// One line per option, for --help.
std::string describe_options(const std::vector<OptionDefinition>& options);
