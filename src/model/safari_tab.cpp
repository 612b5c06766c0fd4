#include "model/safari_tab.h"

#include <utility>

#include "model/normalized_url.h"
#include "model/unicode_text.h"

namespace velmora {

namespace {

void combine(std::size_t& seed, std::size_t hash) {
  seed ^= hash + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}

void combineOptional(std::size_t& seed, const std::optional<std::string>& text) {
  // A presence marker first, so absent and empty hash apart.
  combine(seed, text ? 1 : 0);
  if (text) combine(seed, canonicalHash(*text));
}

bool equalOptional(const std::optional<std::string>& a, const std::optional<std::string>& b) {
  if (a.has_value() != b.has_value()) return false;
  return !a || canonicallyEqual(*a, *b);
}

}  // namespace

std::string SafariTab::normalizedURL() const { return velmora::normalizedURL(url); }

bool operator==(const SafariTab& a, const SafariTab& b) {
  return a.id == b.id && a.windowId == b.windowId && a.pinned == b.pinned && a.active == b.active &&
         canonicallyEqual(a.title, b.title) && canonicallyEqual(a.url, b.url) &&
         equalOptional(a.snippet, b.snippet) && equalOptional(a.summary, b.summary);
}

}  // namespace velmora

std::size_t std::hash<velmora::SafariTab>::operator()(
    const velmora::SafariTab& tab) const noexcept {
  // The same eight fields, in the same order, as equality.
  std::size_t seed = 0;
  velmora::combine(seed, std::hash<std::int64_t>{}(tab.id));
  velmora::combine(seed, std::hash<std::int64_t>{}(tab.windowId));
  velmora::combine(seed, velmora::canonicalHash(tab.title));
  velmora::combine(seed, velmora::canonicalHash(tab.url));
  velmora::combine(seed, tab.pinned ? 1 : 0);
  velmora::combine(seed, tab.active ? 1 : 0);
  velmora::combineOptional(seed, tab.snippet);
  velmora::combineOptional(seed, tab.summary);
  return seed;
}
