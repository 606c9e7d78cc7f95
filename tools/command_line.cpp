#include "tools/command_line.h"

namespace {

const OptionDefinition* find_option(const std::vector<OptionDefinition>& options,
                                    const std::string& name) {
  for (const OptionDefinition& option : options) {
    if (name == option.name) return &option;
  }
  return nullptr;
}

}  // namespace

bool CommandLine::parse(const std::vector<std::string>& args,
                        const std::vector<OptionDefinition>& options, std::string& error) {
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
    const OptionDefinition* option = find_option(options, name);
    if (option == nullptr) {
      error = "unknown option --" + name;
      return false;
    }
    std::string value;
    if (option->value_name == nullptr) {
      if (equals != std::string::npos) {
        error = "--" + name + " takes no value";
        return false;
      }
    } else if (equals != std::string::npos) {
      value = arg.substr(equals + 1);
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      error = "--" + name + " needs a value (" + option->value_name + ")";
      return false;
    }
    std::vector<std::string>& given = values_[name];
    if (!given.empty() && !option->repeatable) {
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

std::string describe_options(const std::vector<OptionDefinition>& options) {
  std::string text;
  for (const OptionDefinition& option : options) {
    std::string left = std::string("  --") + option.name;
    if (option.value_name != nullptr) left += std::string(" ") + option.value_name;
    if (left.size() < 28) left.resize(28, ' ');
    text += left + " " + option.help + (option.repeatable ? " (repeatable)" : "") + "\n";
  }
  return text;
}
