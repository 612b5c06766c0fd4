#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "model/tab_snapshot.h"
#include "platform/env.h"

namespace velmora::VelmoraStorage {

// What a long-lived host knows of the snapshot document it read or wrote
// last, kept for the next save so that it need not read and decode the
// document again: the scan time, the tabs (which decide "tabs equal" exactly
// as reading them back would) and the first-seen map, with where each tab's
// page sits in that map. It is keyed by the file's identity: a save by
// another host (a new inode), an edit or a removal makes it unknown.
//
// Bounded: only a document of at most kMaxDocumentBytes is kept, and what is
// kept takes about 1.7 times its document in memory (7.8 MiB for 10,000 tabs
// and their 4.6 MiB document), so that an idle host stays well under 16 MiB.
// Whoever serves requests owns one for as long as it serves them and hands
// it to save through Options. Safe for overlapping requests:
// each takes what it needs under the lock and then works on its own shared,
// unchangeable copy.
class KnownDocument {
 public:
  static constexpr std::int64_t kMaxDocumentBytes = 6 * 1024 * 1024;

  // Where a tab with an empty url "sits" in the map: nowhere.
  static constexpr std::uint32_t kNoPage = UINT32_MAX;

  struct Contents {
    std::shared_ptr<const TabSnapshot> snapshot;
    // For each tab, the position of its page in snapshot->firstSeen (kNoPage
    // for an empty url); null until a save worked them out, and for a
    // document whose map lacks a page of its own tabs.
    std::shared_ptr<const std::vector<std::uint32_t>> pages;
  };

  // What is kept, when the document still has that identity; else nothing.
  Contents find(const FileIdentity& identity) const;

  // Keeps the contents of the document with that identity, in place of what
  // was kept; a larger document only drops that.
  void keep(const FileIdentity& identity, Contents contents);

  // Adds the positions of the pages of `snapshot`'s tabs, when it is still
  // the one kept.
  void keepPages(const TabSnapshot* snapshot, std::vector<std::uint32_t> pages);

  void clear();

 private:
  mutable std::mutex mutex_;
  FileIdentity identity_;
  Contents contents_;
};

}  // namespace velmora::VelmoraStorage
