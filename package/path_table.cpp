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
// (A string's own reserve would double past the block.) A block past its limit holds one
// long entry, which splits off what comes after it at every insert: it keeps an eighth
// spare, so that such inserts do not copy it again.
void reserve_for(std::string& bytes, size_t needed, size_t limit) {
  if (needed <= bytes.capacity()) return;
  std::string grown;
  grown.reserve(needed > limit ? needed + needed / 8
                               : std::max(needed, std::min(bytes.capacity() * 2, limit)));
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

void PathTable::follow(std::string& path, const Parsed& entry) {
  path.resize(entry.shared);
  path.append(entry.rest);
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
  if (previous_.capacity() > SPARE_PATH_BYTES) std::string().swap(previous_);
  previous_.clear();
  if (blocks_.empty()) return {blocks_.end()};
  if (last_known_ && std::string_view(last_) < path) {
    previous_ = last_;
    const auto last = std::prev(blocks_.end());
    return {last, last->second.bytes.size(), false};
  }
  auto block = blocks_.upper_bound(path);
  if (block != blocks_.begin()) --block;
  const std::string& bytes = block->second.bytes;
  size_t offset = 0;
  size_t match = 0;
  while (offset < bytes.size()) {
    const Parsed entry = parse(bytes, offset);
    if (entry.shared < match) return {block, offset, false};
    if (entry.shared == match) {
      const std::string_view tail = path.substr(match);
      const size_t more = common_prefix(entry.rest, tail);
      if (more == entry.rest.size() && more == tail.size()) return {block, offset, true};
      const bool before = more == entry.rest.size() ||
                          (more < tail.size() && static_cast<unsigned char>(entry.rest[more]) <
                                                     static_cast<unsigned char>(tail[more]));
      if (!before) return {block, offset, false};
      match += more;
    }
    follow(previous_, entry);
    offset = entry.end;
  }
  return {block, offset, false};
}

// A long first path, stored whole and as the block's key, is shared by more entries; not by
// more than a path's worth, so that a search never reads far.
size_t PathTable::block_limit(const Block& block) {
  return BLOCK_BYTES + 2 * std::min(parse(block.bytes, 0).end, SPARE_PATH_BYTES);
}

void PathTable::splice(Block& block, size_t offset, size_t end, const std::string& with,
                       std::string_view stored_against, std::string_view last) {
  const size_t limit = block_limit(block);
  std::string replacement = with;
  if (end < block.bytes.size()) {
    // The entry after keeps its path; only what it shares with the one before changes.
    const Parsed next = parse(block.bytes, end);
    std::string next_path(stored_against.substr(0, next.shared));
    next_path.append(next.rest);
    encode(replacement, last, next_path, next.value);
    end = next.end;
  }
  reserve_for(block.bytes, block.bytes.size() - (end - offset) + replacement.size(), limit);
  block.bytes.replace(offset, end - offset, replacement);
}

void PathTable::split(Blocks::iterator at) {
  Block& block = at->second;
  std::string path;
  size_t offset = 0;
  size_t count = 0;
  // At least one entry stays on each side.
  const size_t first_end = parse(block.bytes, 0).end;
  const size_t half = first_end + (block.bytes.size() - first_end) / 2;
  while (offset < half || count == 0) {
    const Parsed entry = parse(block.bytes, offset);
    follow(path, entry);
    offset = entry.end;
    if (++count + 1 == block.count) break;
  }
  // The second half starts with a whole path.
  const Parsed head = parse(block.bytes, offset);
  follow(path, head);
  Block second;
  encode(second.bytes, {}, path, head.value);
  second.bytes.append(block.bytes, head.end, std::string::npos);
  second.count = block.count - count;
  block.bytes.resize(offset);
  block.count = count;
  // A key of its own size: `path` may have held a longer one.
  blocks_.emplace_hint(std::next(at), std::string(path), std::move(second));
}

PathTable::Blocks::iterator PathTable::rekey(Blocks::iterator block) {
  auto node = blocks_.extract(block);
  node.key() = std::string(parse(node.mapped().bytes, 0).rest);
  return blocks_.insert(std::move(node)).position;
}

void PathTable::remember_last(std::string_view path) {
  last_known_ = path.size() <= SPARE_PATH_BYTES;
  if (last_known_) {
    last_.assign(path);
  } else {
    std::string().swap(last_);
  }
}

void PathTable::append_block(std::string_view path, std::string_view value) {
  Block block;
  encode(block.bytes, {}, path, value);
  block.count = 1;
  blocks_.emplace_hint(blocks_.end(), path, std::move(block));
  ++size_;
  remember_last(path);
}

void PathTable::put(std::string_view path, std::string_view value) {
  const Place at = locate(path);
  if (at.block == blocks_.end()) {
    append_block(path, value);
    return;
  }
  auto block = blocks_.erase(at.block, at.block);  // the same block, to change
  Block* into = &block->second;
  const bool at_the_end =
      !at.found && std::next(block) == blocks_.end() && at.offset == into->bytes.size();
  if (at.found) {
    const Parsed old = parse(into->bytes, at.offset);
    if (old.value.size() == value.size()) {
      // Same length, as a staged file's next temporary name mostly is: written in place.
      into->bytes.replace(static_cast<size_t>(old.value.data() - into->bytes.data()), value.size(),
                          value.data(), value.size());
      return;
    }
    std::string entry;
    encode(entry, previous_, path, value);
    splice(*into, at.offset, old.end, entry, path, path);  // the entry after stays as it was
  } else {
    std::string entry;
    encode(entry, previous_, path, value);
    if (at_the_end && into->bytes.size() + entry.size() > block_limit(*into)) {
      // Paths that come in order fill each block and start the next.
      append_block(path, value);
      return;
    }
    splice(*into, at.offset, at.offset, entry, previous_, path);
    ++into->count;
    ++size_;
    if (at.offset == 0) block = rekey(block);  // a path before all others
    if (at_the_end) remember_last(path);
  }
  if (block->second.bytes.size() > block_limit(block->second) && block->second.count > 1) {
    split(block);
  }
}

std::optional<std::string_view> PathTable::find(std::string_view path) const {
  const Place at = locate(path);
  if (!at.found) return std::nullopt;
  return parse(at.block->second.bytes, at.offset).value;
}

bool PathTable::erase(std::string_view path) {
  const Place at = locate(path);
  if (!at.found) return false;
  auto block = blocks_.erase(at.block, at.block);
  Block& bytes = block->second;
  const Parsed gone = parse(bytes.bytes, at.offset);
  if (gone.end == bytes.bytes.size() && std::next(block) == blocks_.end()) {
    // The greatest goes: the one before it in its block follows, if there is one.
    if (at.offset > 0) {
      remember_last(previous_);
    } else {
      last_known_ = false;
    }
  }
  splice(bytes, at.offset, gone.end, {}, path, previous_);
  --size_;
  if (--bytes.count == 0) {
    blocks_.erase(block);
    return true;
  }
  // What a long entry gone leaves empty is given back.
  if (bytes.bytes.capacity() > 2 * block_limit(bytes)) bytes.bytes.shrink_to_fit();
  if (at.offset == 0) rekey(block);
  return true;
}

void PathTable::clear() {
  blocks_.clear();
  size_ = 0;
  std::string().swap(last_);
  last_known_ = false;
  std::string().swap(previous_);
}

size_t PathTable::memory_bytes() const {
  size_t bytes = last_.capacity() + previous_.capacity();
  for (const auto& [first, block] : blocks_) {
    bytes +=
        sizeof(Blocks::value_type) + 3 * sizeof(void*) + first.capacity() + block.bytes.capacity();
  }
  return bytes;
}

PathTable::Iterator::Iterator(Blocks::const_iterator block, Blocks::const_iterator end)
    : block_(block), end_(end) {
  read();
}

PathTable::Iterator::Iterator(Blocks::const_iterator block, Blocks::const_iterator end,
                              size_t offset, std::string previous)
    : block_(block), end_(end), offset_(offset), path_(std::move(previous)) {
  if (block_ != end_ && offset_ == block_->second.bytes.size()) {
    ++block_;
    offset_ = 0;
  }
  read();
}

PathTable::Iterator PathTable::lower_bound(std::string_view path) const {
  const Place place = locate(path);
  if (place.block == blocks_.end()) return end();
  return Iterator(place.block, blocks_.end(), place.offset, previous_);
}

void PathTable::Iterator::read() {
  if (block_ == end_) return;
  const Parsed entry = parse(block_->second.bytes, offset_);
  follow(path_, entry);
  value_ = entry.value;
  next_ = entry.end;
}

PathTable::Iterator& PathTable::Iterator::operator++() {
  offset_ = next_;
  if (offset_ == block_->second.bytes.size()) {
    ++block_;
    offset_ = 0;
  }
  read();
  return *this;
}
