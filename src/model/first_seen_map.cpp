#include "model/first_seen_map.h"

#include <algorithm>
#include <bit>
#include <limits>
#include <stdexcept>

#include "model/unicode_text.h"

namespace velmora {

void FirstSeenMap::reserve(std::size_t count) {
  entries_.reserve(count);
  hashes_.reserve(count);
  growFor(count);
}

void FirstSeenMap::growFor(std::size_t count) {
  if (count >= std::numeric_limits<std::uint32_t>::max() / 2) {
    throw std::length_error("too many first-seen entries");
  }
  if (2 * count <= slots_.size()) return;
  std::vector<std::uint32_t> slots(std::bit_ceil(std::max<std::size_t>(16, 2 * count)), 0);
  const std::size_t mask = slots.size() - 1;
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    std::size_t slot = hashes_[i] & mask;
    while (slots[slot] != 0) slot = (slot + 1) & mask;
    slots[slot] = static_cast<std::uint32_t>(i + 1);
  }
  slots_ = std::move(slots);
}

std::size_t FirstSeenMap::slotFor(std::string_view key, std::size_t hash) const {
  const std::size_t mask = slots_.size() - 1;
  std::size_t slot = hash & mask;
  while (slots_[slot] != 0) {
    const std::size_t i = slots_[slot] - 1;
    if (hashes_[i] == hash && canonicallyEqual(entries_[i].first, key)) return slot;
    slot = (slot + 1) & mask;
  }
  return slot;
}

std::pair<std::size_t, bool> FirstSeenMap::place(std::string& key, std::string& value,
                                                 bool replace) {
  growFor(entries_.size() + 1);
  const std::size_t hash = canonicalHash(key);
  const std::size_t slot = slotFor(key, hash);
  if (slots_[slot] != 0) {
    const std::size_t i = slots_[slot] - 1;
    if (replace) entries_[i].second = std::move(value);
    return {i, false};
  }
  hashes_.push_back(hash);
  try {
    entries_.emplace_back(std::move(key), std::move(value));
  } catch (...) {
    hashes_.pop_back();  // keep the two in step
    throw;
  }
  slots_[slot] = static_cast<std::uint32_t>(entries_.size());
  return {entries_.size() - 1, true};
}

std::size_t FirstSeenMap::set(std::string key, std::string value) {
  return place(key, value, true).first;
}

bool FirstSeenMap::insert(std::string key, std::string value) {
  return place(key, value, false).second;
}

std::size_t FirstSeenMap::position(std::string_view key) const {
  if (slots_.empty()) return size();
  const std::size_t slot = slotFor(key, canonicalHash(key));
  return slots_[slot] == 0 ? size() : slots_[slot] - 1;
}

const std::string* FirstSeenMap::find(std::string_view key) const {
  const std::size_t i = position(key);
  return i == size() ? nullptr : &entries_[i].second;
}

bool operator==(const FirstSeenMap& a, const FirstSeenMap& b) {
  if (a.size() != b.size()) return false;
  for (const auto& [key, value] : a) {
    const std::string* other = b.find(key);
    if (other == nullptr || !canonicallyEqual(value, *other)) return false;
  }
  return true;
}

}  // namespace velmora
