#include "model/safari_tab.h"

#include <utility>

#include "model/normalized_url.h"
#include "model/unicode_text.h"

namespace velmora {

namespace {

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
