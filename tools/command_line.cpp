#include "tools/command_line.h"

namespace {

const OptionSpec* find_spec(const std::vector<OptionSpec>& specs, const std::string& name) {
  for (const OptionSpec& spec : specs) {
    if (name == spec.name) return &spec;
  }
  return nullptr;
}

}  // namespace

bool CommandLine::parse(const std::vector<std::string>& args, const std::vector<OptionSpec>& specs,
                        std::string& error) {
  bool options_ended = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (options_ended || arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
      if (!options_ended && arg.size() > 1 && arg[0] == '-') {
        error = "unknown option " + arg;
        return false;
      }
      positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_ended = true;
      continue;
    }
    const size_t equals = arg.find('=');
    const std::string name = arg.substr(2, equals == std::string::npos ? equals : equals - 2);
    if (name == "help" && equals == std::string::npos) {
      help = true;
      continue;
    }
    const OptionSpec* spec = find_spec(specs, name);
    if (spec == nullptr) {
      error = "unknown option --" + name;
      return false;
    }
    std::string value;
    if (spec->value_name == nullptr) {
      if (equals != std::string::npos) {
        error = "--" + name + " takes no value";
        return false;
      }
    } else if (equals != std::string::npos) {
      value = arg.substr(equals + 1);
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      error = "--" + name + " needs a value (" + spec->value_name + ")";
      return false;
    }
    std::vector<std::string>& given = values_[name];
    if (!given.empty() && !spec->repeatable) {
      error = "--" + name + " given twice";
      return false;
    }
    given.push_back(value);
  }
  return true;
}

std::string CommandLine::value(const std::string& name) const {
  const auto found = values_.find(name);
  return found == values_.end() || found->second.empty() ? std::string() : found->second[0];
}

const std::vector<std::string>& CommandLine::values(const std::string& name) const {
  static const std::vector<std::string> none;
  const auto found = values_.find(name);
  return found == values_.end() ? none : found->second;
}

std::string describe_options(const std::vector<OptionSpec>& specs) {
  std::string text;
  for (const OptionSpec& spec : specs) {
    std::string left = std::string("  --") + spec.name;
    if (spec.value_name != nullptr) left += std::string(" ") + spec.value_name;
    if (left.size() < 28) left.resize(28, ' ');
    text += left + " " + spec.help + (spec.repeatable ? " (repeatable)" : "") + "\n";
  }
  return text;
}
