#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "model/unicode_text.h"

namespace velmora {

// The first-seen map: normalized URL -> timestamp text of the scan in which
// the address was first seen. Keys are looked up by canonical equivalence;
// iteration follows insertion order so that written documents are
// deterministic.
class FirstSeenMap {
 public:
  using Entry = std::pair<std::string, std::string>;
  using const_iterator = std::deque<Entry>::const_iterator;

  FirstSeenMap() = default;
  FirstSeenMap(const FirstSeenMap& other);
  FirstSeenMap& operator=(const FirstSeenMap& other);
  FirstSeenMap(FirstSeenMap&&) = default;
  FirstSeenMap& operator=(FirstSeenMap&&) = default;

  // Inserts the entry or, when an equivalent key is there, replaces its value
  // in place (the key keeps its first spelling and position).
  void set(std::string key, std::string value);

  // Inserts the entry unless an equivalent key is there; whether it did.
  bool insert(std::string key, std::string value);

  // The value stored under an equivalent key, or nullptr.
  const std::string* find(std::string_view key) const;

  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  const_iterator begin() const { return entries_.begin(); }
  const_iterator end() const { return entries_.end(); }

  // Same entries by canonical equivalence of keys and values; order plays no
  // part.
  friend bool operator==(const FirstSeenMap& a, const FirstSeenMap& b);

 private:
  void add(std::string key, std::string value);
  void rebuildIndex();

  // A deque never moves its elements when it grows, so the index may point
  // into the keys it holds; moving the whole deque keeps them in place too.
  std::deque<Entry> entries_;
  std::unordered_map<std::string_view, std::size_t, CanonicalHash, CanonicalEqual> index_;
};

}  // namespace velmora
