// A sorted table of paths, each with a short text value, packed for size. A transaction
// and a package's file list hold one entry per file; as std::map nodes with two strings
// they cost some two hundred bytes a file, here about the bytes in which a path differs
// from the one before it, plus its value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class PathTable {
 public:
  struct Entry {
    std::string_view path;
    std::string_view value;
  };

  // Adds `path` with `value`, or replaces the value it has. Neither may point into the table.
  void put(std::string_view path, std::string_view value);
  // The value stored for `path`; valid until the table next changes.
  std::optional<std::string_view> find(std::string_view path) const;
  // False when `path` was not in the table.
  bool erase(std::string_view path);
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  void clear();
  // Bytes held for the entries, slack included.
  size_t memory_bytes() const;

  // Entries in byte order of their paths; an entry's views last until the next step. Any
  // change to the table ends an iteration.
  class Iterator {
   public:
    Entry operator*() const { return {path_, value_}; }
    Iterator& operator++();
    bool operator==(const Iterator& other) const {
      return block_ == other.block_ && offset_ == other.offset_;
    }
    bool operator!=(const Iterator& other) const { return !(*this == other); }

   private:
    friend class PathTable;
    Iterator(const PathTable* table, size_t block);
    void read();
    const PathTable* table_;
    size_t block_;
    size_t offset_ = 0;
    size_t next_ = 0;
    std::string path_;
    std::string_view value_;
  };
  Iterator begin() const { return Iterator(this, 0); }
  Iterator end() const { return Iterator(this, blocks_.size()); }

 private:
  // A block holds entries in order, each stored against the path before it in the block:
  //   varint shared   bytes at the start of the path equal to the previous path's (0 first)
  //   varint rest     bytes of the path after those
  //   varint value    bytes of the value
  //   the rest of the path, then the value.
  // Varints take 7 bits a byte, low bits first, the top bit set on all but the last byte.
  // A block grows to about BLOCK_BYTES before it splits, so that a change rewrites little.
  static constexpr size_t BLOCK_BYTES = 512;
  struct Block {
    std::string bytes;
    size_t count = 0;
  };
  // The place of a path: its entry when found, else where it would go.
  struct Place {
    size_t block = 0;
    size_t offset = 0;  // of the entry there, or the block's end
    bool found = false;
  };
  struct Parsed {
    size_t shared = 0;
    std::string_view rest;
    std::string_view value;
    size_t end = 0;  // offset past the entry
  };

  static Parsed parse(const std::string& bytes, size_t offset);
  static void encode(std::string& out, std::string_view previous, std::string_view path,
                     std::string_view value);
  // Leaves in `previous_` the path before the place.
  Place locate(std::string_view path) const;
  // Replaces the bytes of `block` from `offset` to `end` with `with`, and re-encodes the
  // entry at `end`, stored against `stored_against`, against `last`, the path that now
  // comes before it.
  void splice(Block& block, size_t offset, size_t end, const std::string& with,
              std::string_view stored_against, std::string_view last);
  void split(size_t block);

  std::vector<Block> blocks_;
  size_t size_ = 0;
  // The greatest path, while known: paths that come in order are placed without a search.
  std::string last_;
  bool last_known_ = true;
  // Kept between searches to spare an allocation for each.
  mutable std::string previous_;
};
