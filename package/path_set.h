// A set of paths in byte order, each kept once, packed as a PathTable is: the file list of
// a package.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

#include "package/path_table.h"

class PathSet {
 public:
  PathSet() = default;
  PathSet(std::initializer_list<std::string_view> paths) {
    for (std::string_view path : paths) insert(path);
  }

  void insert(std::string_view path) { table_.put(path, {}); }
  bool contains(std::string_view path) const { return table_.find(path).has_value(); }
  size_t size() const { return table_.size(); }
  bool empty() const { return table_.empty(); }
  void clear() { table_.clear(); }

  // Yields each path as a string that the iterator reuses: copy it to keep it.
  class Iterator {
   public:
    const std::string& operator*() const { return path_.assign((*at_).path); }
    Iterator& operator++() {
      ++at_;
      return *this;
    }
    bool operator!=(const Iterator& other) const { return at_ != other.at_; }
    bool operator==(const Iterator& other) const { return at_ == other.at_; }

   private:
    friend class PathSet;
    explicit Iterator(PathTable::Iterator at) : at_(at) {}
    PathTable::Iterator at_;
    mutable std::string path_;
  };
  Iterator begin() const { return Iterator(table_.begin()); }
  Iterator end() const { return Iterator(table_.end()); }

 private:
  PathTable table_;
};
