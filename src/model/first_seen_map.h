#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velmora {

// The first-seen map: normalized URL -> timestamp text of the scan in which
// the address was first seen. Keys are looked up by canonical equivalence;
// iteration follows insertion order so that written documents are
// deterministic.
class FirstSeenMap {
 public:
  using Entry = std::pair<std::string, std::string>;
  using const_iterator = std::vector<Entry>::const_iterator;

  // Room for `count` entries without growing.
  void reserve(std::size_t count);

  // Inserts the entry or, when an equivalent key is there, replaces its value
  // in place (the key keeps its first spelling and position); the entry's
  // position.
  std::size_t set(std::string key, std::string value);

  // Inserts the entry unless an equivalent key is there; whether it did.
  bool insert(std::string key, std::string value);

  // The value stored under an equivalent key, or nullptr.
  const std::string* find(std::string_view key) const;

  // The position in iteration order of the entry with an equivalent key, or
  // size() when there is none.
  std::size_t position(std::string_view key) const;

  // The entry at a position that set() or position() answered; it stays
  // there while the map lives.
  const Entry& at(std::size_t position) const { return entries_[position]; }

  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  const_iterator begin() const { return entries_.begin(); }
  const_iterator end() const { return entries_.end(); }

  // Same entries by canonical equivalence of keys and values; order plays no
  // part.
  friend bool operator==(const FirstSeenMap& a, const FirstSeenMap& b);

 private:
  // The slot holding the key's entry, or the empty slot where it would go.
  std::size_t slotFor(std::string_view key, std::size_t hash) const;
  void growFor(std::size_t count);
  // Adds the entry when no equivalent key is there, else replaces the value
  // when asked to; the entry's position and whether it added.
  std::pair<std::size_t, bool> place(std::string& key, std::string& value, bool replace);

  // Entries in insertion order, and beside them their keys' canonical hashes.
  // The index is an open-addressed table of entry positions plus one (zero
  // marks an empty slot), a power of two in size and at most half full: a
  // map of ten thousand pages is three allocations rather than ten thousand.
  std::vector<Entry> entries_;
  std::vector<std::size_t> hashes_;
  std::vector<std::uint32_t> slots_;
};

}  // namespace velmora
