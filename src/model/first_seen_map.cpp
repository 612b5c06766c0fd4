#include "model/first_seen_map.h"

namespace velmora {

FirstSeenMap::FirstSeenMap(const FirstSeenMap& other) : entries_(other.entries_) { rebuildIndex(); }

FirstSeenMap& FirstSeenMap::operator=(const FirstSeenMap& other) {
  if (this != &other) {
    entries_ = other.entries_;
    rebuildIndex();
  }
  return *this;
}

void FirstSeenMap::rebuildIndex() {
  index_.clear();
  index_.reserve(entries_.size());
  for (std::size_t i = 0; i < entries_.size(); ++i) index_.emplace(entries_[i].first, i);
}

void FirstSeenMap::set(std::string key, std::string value) {
  auto found = index_.find(key);
  if (found != index_.end()) {
    entries_[found->second].second = std::move(value);
    return;
  }
  add(std::move(key), std::move(value));
}

bool FirstSeenMap::insert(std::string key, std::string value) {
  if (index_.contains(key)) return false;
  add(std::move(key), std::move(value));
  return true;
}

void FirstSeenMap::add(std::string key, std::string value) {
  entries_.emplace_back(std::move(key), std::move(value));
  try {
    index_.emplace(entries_.back().first, entries_.size() - 1);
  } catch (...) {
    entries_.pop_back();  // keep the two in step
    throw;
  }
}

const std::string* FirstSeenMap::find(std::string_view key) const {
  auto found = index_.find(key);
  return found == index_.end() ? nullptr : &entries_[found->second].second;
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
