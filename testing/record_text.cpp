#include "testing/record_text.h"

#include <gtest/gtest.h>

#include <sstream>

#include "package/version_parse.h"

namespace {

Version version_of(const std::string& text) {
  Version version = 0;
  EXPECT_TRUE(parse_version_text(text, version)) << "version " << text;
  return version;
}

// NAME-VERSION into name and version.
void split_name(const std::string& text, std::string& name, Version& version) {
  const size_t dash = text.rfind('-');
  EXPECT_NE(dash, std::string::npos) << text;
  if (dash == std::string::npos) return;
  name = text.substr(0, dash);
  version = version_of(text.substr(dash + 1));
}

Dependency entry_of(const std::string& text) {
  Dependency entry;
  size_t end = text.find_first_of("@<>");
  entry.name = text.substr(0, end);
  while (end != std::string::npos) {
    const size_t next = text.find_first_of("@<>", end + 1);
    const std::string field = text.substr(end, next == std::string::npos ? next : next - end);
    if (field[0] == '@') {
      entry.weight = std::stoi(field.substr(1));
    } else if (field.compare(0, 2, ">=") == 0) {
      entry.min = version_of(field.substr(2));
    } else if (field.compare(0, 2, "<=") == 0) {
      entry.max = version_of(field.substr(2));
    } else {
      ADD_FAILURE() << "entry " << text;
    }
    end = next;
  }
  return entry;
}

std::vector<Dependency> list_of(const std::string& text) {
  std::vector<Dependency> list;
  std::istringstream items(text);
  for (std::string item; std::getline(items, item, ',');) list.push_back(entry_of(item));
  return list;
}

uint32_t action_of(const std::string& word) {
  for (uint32_t action : {ACTION_UNINSTALL, ACTION_ENABLE, ACTION_DISABLE}) {
    if (word == action_name(action)) return action;
  }
  ADD_FAILURE() << "action " << word;
  return ACTION_NONE;
}

// One word into `info`, and into `package` or `offer`, whichever is given, for the words
// only that kind of record takes; false for a word no record takes.
bool apply(PackageInfo& info, Package* package, PackageFile* offer, const std::string& word) {
  const size_t equals = word.find('=');
  const std::string key = word.substr(0, equals);
  const std::string value = equals == std::string::npos ? "" : word.substr(equals + 1);
  if (word == "bundle") {
    info.is_bundle = true;
  } else if (word == "placeholder") {
    info.version = info.build_time = PLACEHOLDER_WORD;
  } else if (key == "arch") {
    info.architecture = value;
  } else if (key == "built" || key == "flags") {
    (key == "built" ? info.build_time : info.header_flags) = uint32_t(std::stoul(value));
  } else if (key == "needs") {
    info.depends = list_of(value);
  } else if (key == "gives") {
    info.provides = list_of(value);
  } else if (key == "excludes") {
    info.conflicts = list_of(value);
  } else if (package && (word == "disabled" || word == "forced")) {
    (word == "disabled" ? package->disabled : package->user_forced) = true;
  } else if (package && key == "action") {
    package->action = action_of(value);
  } else if (package && key == "from") {
    split_name(value, package->bundle.name, package->bundle.min);
    package->bundle.max = package->bundle.min;
  } else if (offer && key == "members") {
    std::istringstream items(value);
    for (std::string item; std::getline(items, item, ',');) {
      offer->members.push_back(std::make_unique<PackageInfo>());
      split_name(item, offer->members.back()->name, offer->members.back()->version);
    }
  } else {
    return false;
  }
  return true;
}

void fill(PackageInfo& info, Package* package, PackageFile* offer, const std::string& text) {
  std::istringstream words(text);
  std::string word;
  words >> word;
  split_name(word, info.name, info.version);
  while (words >> word) {
    if (!apply(info, package, offer, word)) ADD_FAILURE() << "word " << word;
  }
}

}  // namespace

std::unique_ptr<Package> package_from(const std::string& text) {
  auto package = std::make_unique<Package>();
  fill(*package, package.get(), nullptr, text);
  return package;
}

std::unique_ptr<PackageFile> offer_from(const std::string& text) {
  auto offer = std::make_unique<PackageFile>();
  fill(*offer, nullptr, offer.get(), text);
  return offer;
}
