#include "storage/known_document.h"

#include <utility>

namespace velmora::VelmoraStorage {

KnownDocument::Contents KnownDocument::find(const FileIdentity& identity) const {
  const std::lock_guard lock(mutex_);
  if (!contents_.snapshot || !(identity == identity_)) return {};
  return contents_;
}

void KnownDocument::keep(const FileIdentity& identity, Contents contents) {
  if (identity.size > kMaxDocumentBytes) contents = {};
  {
    const std::lock_guard lock(mutex_);
    identity_ = identity;
    std::swap(contents_, contents);
  }
  // What was dropped is freed outside the lock.
}

void KnownDocument::keepPages(const TabSnapshot* snapshot, std::vector<std::uint32_t> pages) {
  auto kept = std::make_shared<const std::vector<std::uint32_t>>(std::move(pages));
  const std::lock_guard lock(mutex_);
  if (contents_.snapshot.get() == snapshot && !contents_.pages) contents_.pages = std::move(kept);
}

void KnownDocument::clear() { keep({}, {}); }

}  // namespace velmora::VelmoraStorage
