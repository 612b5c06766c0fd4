#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "model/tab_snapshot.h"

namespace velmora::VelmoraStorage {

// The snapshot document that a save read last, decoded, kept for the next
// save: a long-lived host mostly reads back the very document it read the
// time before, and comparing its bytes costs far less than decoding them
// again. Only a document of at most kMaxDocumentBytes is kept, so what stays
// in memory between requests is bounded. Whoever serves requests owns one
// for as long as it serves them and hands it to save through Options. Safe
// for overlapping requests: each takes what it needs under the lock and then
// works on its own shared, unchangeable copy.
class PreviousDocumentCache {
 public:
  static constexpr std::size_t kMaxDocumentBytes = 256 * 1024;

  struct Document {
    std::shared_ptr<const TabSnapshot> snapshot;
    // The normalized address of each of its tabs, once a save worked them
    // out (null before): the next scan mostly holds the same addresses.
    std::shared_ptr<const std::vector<std::string>> pages;
  };

  // The kept document, when `bytes` are its bytes; else no snapshot.
  Document find(std::string_view bytes) const;

  // Keeps the document read from `bytes`, in place of the one kept before;
  // a larger document only drops that one.
  void keep(std::string bytes, std::shared_ptr<const TabSnapshot> snapshot);

  // Adds the pages of `snapshot`'s tabs, when that is still the kept one.
  void keepPages(const TabSnapshot* snapshot, const std::vector<std::string>& pages);

  void clear();

 private:
  bool needsPages(const TabSnapshot* snapshot) const;

  mutable std::mutex mutex_;
  std::string bytes_;
  Document document_;
};

}  // namespace velmora::VelmoraStorage
