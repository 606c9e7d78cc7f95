// A sorted table of paths, each with a short text value, packed for size. A transaction
// and a package's file list hold one entry per file; as std::map nodes with two strings
// they cost some two hundred bytes a file, here about the bytes in which a path differs
// from the one before it, plus its value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

class PathTable {
 private:
  struct Block {
    std::string bytes;
    size_t count = 0;
  };
  // Blocks by the path of their first entry, which the block also stores whole.
  using Blocks = std::map<std::string, Block, std::less<>>;

 public:
  struct Entry {
    std::string_view path;
    std::string_view value;
  };

  // Adds `path` with `value`, or replaces the value it has. Neither may point into the table.
  // Paths are meant to be file paths: far longer ones work, but a search that passes one
  // copies it.
  void put(std::string_view path, std::string_view value);
  // The value stored for `path`; valid until the table next changes.
  std::optional<std::string_view> find(std::string_view path) const;
  // False when `path` was not in the table.
  bool erase(std::string_view path);
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  void clear();
  // Bytes held for the entries, slack included, and the blocks that hold them.
  size_t memory_bytes() const;
  size_t blocks() const { return blocks_.size(); }

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
    Iterator(Blocks::const_iterator block, Blocks::const_iterator end);
    // At `offset` of `block`, whose entry is stored against `previous`.
    Iterator(Blocks::const_iterator block, Blocks::const_iterator end, size_t offset,
             std::string previous);
    void read();
    Blocks::const_iterator block_;
    Blocks::const_iterator end_;
    size_t offset_ = 0;
    size_t next_ = 0;
    std::string path_;
    std::string_view value_;
  };
  Iterator begin() const { return Iterator(blocks_.begin(), blocks_.end()); }
  Iterator end() const { return Iterator(blocks_.end(), blocks_.end()); }
  // The first entry whose path is not below `path` in byte order.
  Iterator lower_bound(std::string_view path) const;

 private:
  // A block holds entries in order, each stored against the path before it in the block:
  //   varint shared   bytes at the start of the path equal to the previous path's (0 first)
  //   varint rest     bytes of the path after those
  //   varint value    bytes of the value
  //   the rest of the path, then the value.
  // Varints take 7 bits a byte, low bits first, the top bit set on all but the last byte.
  // A block grows to about BLOCK_BYTES (more, for a long first entry) before it splits, so
  // that a change rewrites little.
  static constexpr size_t BLOCK_BYTES = 512;
  // A path longer than this is not kept a second time (as the greatest, or between calls).
  static constexpr size_t SPARE_PATH_BYTES = 4096;
  // The place of a path: its entry when found, else where it would go.
  struct Place {
    Blocks::const_iterator block;
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
  // Turns `path`, the path before `entry`, into the entry's own.
  static void follow(std::string& path, const Parsed& entry);
  // The size a block that is not empty may reach before it splits.
  static size_t block_limit(const Block& block);
  static void encode(std::string& out, std::string_view previous, std::string_view path,
                     std::string_view value);
  // Leaves in `previous_` the path before the place.
  Place locate(std::string_view path) const;
  // Replaces the bytes of `block` from `offset` to `end` with `with`, and re-encodes the
  // entry at `end`, stored against `stored_against`, against `last`, the path that now
  // comes before it.
  static void splice(Block& block, size_t offset, size_t end, const std::string& with,
                     std::string_view stored_against, std::string_view last);
  void split(Blocks::iterator block);
  // A new block after all others, holding `path` alone.
  void append_block(std::string_view path, std::string_view value);
  // Files the block under its first path again, once that changed.
  Blocks::iterator rekey(Blocks::iterator block);
  void remember_last(std::string_view path);

  Blocks blocks_;
  size_t size_ = 0;
  // The greatest path, while known: paths that come in order are placed without a search.
  std::string last_;
  bool last_known_ = false;
  // Kept between searches to spare an allocation for each.
  mutable std::string previous_;
};
