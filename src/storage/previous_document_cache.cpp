#include "storage/previous_document_cache.h"

#include <utility>

namespace velmora::VelmoraStorage {

PreviousDocumentCache::Document PreviousDocumentCache::find(std::string_view bytes) const {
  const std::lock_guard lock(mutex_);
  if (!document_.snapshot || bytes != bytes_) return {};
  return document_;
}

void PreviousDocumentCache::keep(std::string bytes, std::shared_ptr<const TabSnapshot> snapshot) {
  const bool fits = bytes.size() <= kMaxDocumentBytes && snapshot != nullptr;
  std::string dropped;
  Document droppedDocument;
  {
    const std::lock_guard lock(mutex_);
    dropped.swap(bytes_);
    droppedDocument = std::move(document_);
    document_ = {};
    if (fits) {
      bytes_ = std::move(bytes);
      document_.snapshot = std::move(snapshot);
    }
  }
  // What was dropped is freed outside the lock.
}

bool PreviousDocumentCache::needsPages(const TabSnapshot* snapshot) const {
  const std::lock_guard lock(mutex_);
  return document_.snapshot.get() == snapshot && !document_.pages;
}

void PreviousDocumentCache::keepPages(const TabSnapshot* snapshot,
                                      const std::vector<std::string>& pages) {
  // Copied only for the document kept, and outside the lock.
  if (!needsPages(snapshot)) return;
  auto kept = std::make_shared<const std::vector<std::string>>(pages);
  const std::lock_guard lock(mutex_);
  if (document_.snapshot.get() == snapshot && !document_.pages) document_.pages = std::move(kept);
}

void PreviousDocumentCache::clear() { keep({}, nullptr); }

}  // namespace velmora::VelmoraStorage
