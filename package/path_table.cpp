#include "package/path_table.h"

#include <algorithm>

namespace {

void put_varint(std::string& out, size_t value) {
  while (value >= 0x80) {
    out += static_cast<char>((value & 0x7F) | 0x80);
    value >>= 7;
  }
  out += static_cast<char>(value);
}

size_t get_varint(const std::string& bytes, size_t& offset) {
  size_t value = 0;
  for (unsigned shift = 0;; shift += 7) {
    const auto byte = static_cast<unsigned char>(bytes[offset++]);
    value |= static_cast<size_t>(byte & 0x7F) << shift;
    if (byte < 0x80) return value;
  }
}

// Room for `needed` bytes, doubling up to a full block, never beyond what is needed after.
// (A string's own reserve would double past the block.)
void reserve_for(std::string& bytes, size_t needed, size_t block_bytes) {
  if (needed <= bytes.capacity()) return;
  std::string grown;
  grown.reserve(std::max(needed, std::min(bytes.capacity() * 2, block_bytes)));
  grown.append(bytes);
  bytes.swap(grown);
}

size_t common_prefix(std::string_view one, std::string_view other) {
  const size_t limit = std::min(one.size(), other.size());
  size_t length = 0;
  while (length < limit && one[length] == other[length]) ++length;
  return length;
}

}  // namespace

// The blocks only ever hold what encode wrote, so the varints need no bounds checks.
PathTable::Parsed PathTable::parse(const std::string& bytes, size_t offset) {
  Parsed entry;
  entry.shared = get_varint(bytes, offset);
  const size_t rest = get_varint(bytes, offset);
  const size_t value = get_varint(bytes, offset);
  entry.rest = std::string_view(bytes).substr(offset, rest);
  entry.value = std::string_view(bytes).substr(offset + rest, value);
  entry.end = offset + rest + value;
  return entry;
}

void PathTable::encode(std::string& out, std::string_view previous, std::string_view path,
                       std::string_view value) {
  const size_t shared = common_prefix(previous, path);
  put_varint(out, shared);
  put_varint(out, path.size() - shared);
  put_varint(out, value.size());
  out.append(path.substr(shared));
  out.append(value);
}

// The last block whose first path is not above `path` holds it or its place (the first
// block, for a path before all). Inside, each entry is judged by what it shares with the
// one before: while `previous_` sorts before `path` and shares `match` bytes with it, an
// entry that keeps more of `previous_` sorts before too, and one that keeps less sorts
// after. Only an entry that keeps exactly `match` bytes needs its rest compared.
PathTable::Place PathTable::locate(std::string_view path) const {
  previous_.clear();
  if (blocks_.empty()) return {};
  if (last_known_ && std::string_view(last_) < path) {
    previous_ = last_;
    return {blocks_.size() - 1, blocks_.back().bytes.size(), false};
  }
  const auto after = std::upper_bound(
      blocks_.begin(), blocks_.end(), path,
      [](std::string_view key, const Block& block) { return key < parse(block.bytes, 0).rest; });
  const size_t index = after == blocks_.begin() ? 0 : after - blocks_.begin() - 1;
  const std::string& bytes = blocks_[index].bytes;
  size_t offset = 0;
  size_t match = 0;
  while (offset < bytes.size()) {
    const Parsed entry = parse(bytes, offset);
    if (entry.shared < match) return {index, offset, false};
    if (entry.shared == match) {
      const std::string_view tail = path.substr(match);
      const size_t more = common_prefix(entry.rest, tail);
      if (more == entry.rest.size() && more == tail.size()) return {index, offset, true};
      const bool before = more == entry.rest.size() ||
                          (more < tail.size() && static_cast<unsigned char>(entry.rest[more]) <
                                                     static_cast<unsigned char>(tail[more]));
      if (!before) return {index, offset, false};
      match += more;
    }
    previous_.resize(entry.shared);
    previous_.append(entry.rest);
    offset = entry.end;
  }
  return {index, offset, false};
}

void PathTable::splice(Block& block, size_t offset, size_t end, const std::string& with,
                       std::string_view stored_against, std::string_view last) {
  std::string replacement = with;
  if (end < block.bytes.size()) {
    // The entry after keeps its path; only what it shares with the one before changes.
    const Parsed next = parse(block.bytes, end);
    std::string next_path(stored_against.substr(0, next.shared));
    next_path.append(next.rest);
    encode(replacement, last, next_path, next.value);
    end = next.end;
  }
  reserve_for(block.bytes, block.bytes.size() - (end - offset) + replacement.size(), BLOCK_BYTES);
  block.bytes.replace(offset, end - offset, replacement);
}

void PathTable::split(size_t index) {
  Block& block = blocks_[index];
  std::string path;
  size_t offset = 0;
  size_t count = 0;
  // At least one entry stays on each side.
  while (offset < block.bytes.size() / 2 || count == 0) {
    const Parsed entry = parse(block.bytes, offset);
    path.resize(entry.shared);
    path.append(entry.rest);
    offset = entry.end;
    if (++count + 1 == block.count) break;
  }
  // The second half starts with a whole path.
  const Parsed head = parse(block.bytes, offset);
  path.resize(head.shared);
  path.append(head.rest);
  Block second;
  encode(second.bytes, {}, path, head.value);
  second.bytes.append(block.bytes, head.end, std::string::npos);
  second.count = block.count - count;
  block.bytes.resize(offset);
  block.count = count;
  blocks_.insert(blocks_.begin() + static_cast<std::ptrdiff_t>(index) + 1, std::move(second));
}

void PathTable::put(std::string_view path, std::string_view value) {
  const Place at = locate(path);
  if (blocks_.empty()) blocks_.emplace_back();
  Block& block = blocks_[at.block];
  const bool at_the_end = at.block + 1 == blocks_.size() && at.offset == block.bytes.size();
  if (at_the_end) {
    last_.assign(path);
    last_known_ = true;
  }
  if (at.found) {
    const Parsed old = parse(block.bytes, at.offset);
    if (old.value.size() == value.size()) {
      // Same length, as a staged file's next temporary name mostly is: written in place.
      block.bytes.replace(static_cast<size_t>(old.value.data() - block.bytes.data()), value.size(),
                          value.data(), value.size());
      return;
    }
    std::string entry;
    encode(entry, previous_, path, value);
    reserve_for(block.bytes, block.bytes.size() - (old.end - at.offset) + entry.size(),
                BLOCK_BYTES);
    block.bytes.replace(at.offset, old.end - at.offset, entry);
  } else if (at_the_end && block.count > 0 &&
             block.bytes.size() + path.size() + value.size() > BLOCK_BYTES) {
    // Paths that come in order fill each block and start the next.
    Block next;
    encode(next.bytes, {}, path, value);
    next.count = 1;
    blocks_.push_back(std::move(next));
    ++size_;
    return;
  } else {
    std::string entry;
    encode(entry, previous_, path, value);
    splice(block, at.offset, at.offset, entry, previous_, path);
    ++block.count;
    ++size_;
  }
  if (block.bytes.size() > BLOCK_BYTES && block.count > 1) split(at.block);
}

std::optional<std::string_view> PathTable::find(std::string_view path) const {
  const Place at = locate(path);
  if (!at.found) return std::nullopt;
  return parse(blocks_[at.block].bytes, at.offset).value;
}

bool PathTable::erase(std::string_view path) {
  const Place at = locate(path);
  if (!at.found) return false;
  Block& block = blocks_[at.block];
  const Parsed gone = parse(block.bytes, at.offset);
  if (gone.end == block.bytes.size() && at.block + 1 == blocks_.size()) last_known_ = false;
  splice(block, at.offset, gone.end, {}, path, previous_);
  if (--block.count == 0) blocks_.erase(blocks_.begin() + static_cast<std::ptrdiff_t>(at.block));
  --size_;
  return true;
}

void PathTable::clear() {
  blocks_ = {};
  size_ = 0;
  last_.clear();
  last_known_ = true;
}

size_t PathTable::memory_bytes() const {
  size_t bytes = blocks_.capacity() * sizeof(Block) + last_.capacity();
  for (const Block& block : blocks_) bytes += block.bytes.capacity();
  return bytes;
}

PathTable::Iterator::Iterator(const PathTable* table, size_t block) : table_(table), block_(block) {
  read();
}

void PathTable::Iterator::read() {
  if (block_ == table_->blocks_.size()) return;
  const Parsed entry = parse(table_->blocks_[block_].bytes, offset_);
  path_.resize(entry.shared);
  path_.append(entry.rest);
  value_ = entry.value;
  next_ = entry.end;
}

PathTable::Iterator& PathTable::Iterator::operator++() {
  offset_ = next_;
  if (offset_ == table_->blocks_[block_].bytes.size()) {
    ++block_;
    offset_ = 0;
  }
  read();
  return *this;
}
