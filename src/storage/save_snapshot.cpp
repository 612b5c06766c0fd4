#include "storage/save_snapshot.h"

#include <algorithm>
#include <climits>
#include <exception>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "model/normalized_url.h"
#include "model/tab_snapshot.h"
#include "model/unicode_text.h"
#include "storage/history.h"
#include "storage/previous_document_cache.h"
#include "storage/velmora_date.h"

namespace velmora::VelmoraStorage {
namespace {

// Pages compare by canonical equivalence, like every text of a document.
using PageSet = std::unordered_set<std::string_view, CanonicalHash, CanonicalEqual>;

// The scan time becomes a file name in the history directory; a "/" would
// reach outside it and a NUL would cut the name short.
Status checkScanTimeNamesAFile(std::string_view scannedAt) {
  if (scannedAt.find('/') != std::string_view::npos) {
    return Error{"the scan time cannot name a history file: it contains \"/\""};
  }
  if (scannedAt.find('\0') != std::string_view::npos) {
    return Error{"the scan time cannot name a history file: it contains a NUL character"};
  }
  // Caught here rather than by the copy's write, which would fail only after
  // the snapshot had been replaced, with the whole name in its message.
  if (historyFileName(scannedAt).size() > NAME_MAX) {
    return Error{"the scan time cannot name a history file: it is longer than " +
                 std::to_string(NAME_MAX - 5) + " bytes"};
  }
  return Ok();
}

// A missing, unreadable, undecodable or impossibly large document counts as
// no document, and so does one that there is not memory enough to read: the
// save then replaces it rather than failing for good.
PreviousDocumentCache::Document readPreviousUnguarded(Env& env, const std::filesystem::path& file,
                                                      PreviousDocumentCache* cache) {
  if (cache != nullptr) {
    // A document small enough to be kept is read whole, to be compared with
    // the one kept; a larger one is read below and drops that one.
    if (Result<std::string> bytes = env.readFile(file, PreviousDocumentCache::kMaxDocumentBytes)) {
      if (PreviousDocumentCache::Document known = cache->find(*bytes); known.snapshot) return known;
      Result<TabSnapshot> decoded = decodeSnapshot(*bytes);
      if (!decoded) return {};
      auto previous = std::make_shared<const TabSnapshot>(std::move(*decoded));
      cache->keep(std::move(*bytes), previous);
      return {previous, nullptr};
    }
    cache->clear();
  }
  // Decoded as it is read: a large document is never held whole.
  Result<TabSnapshot> decoded = decodeSnapshot([&env, &file](const ByteSink& piece) {
    return env.readFileInPieces(file, kMaxSnapshotDocumentBytes, piece).ok();
  });
  if (!decoded) return {};
  return {std::make_shared<const TabSnapshot>(std::move(*decoded)), nullptr};
}

PreviousDocumentCache::Document readPrevious(Env& env, const std::filesystem::path& file,
                                             PreviousDocumentCache* cache) {
  try {
    return readPreviousUnguarded(env, file, cache);
  } catch (const std::bad_alloc&) {
    if (cache != nullptr) cache->clear();
    return {};
  }
}

// The normalized address of every tab, in order, those with an empty url
// included. A tab with the same address as the previous document's tab at
// its place reuses that page when it is known: an address normalizes the
// same every time.
std::vector<std::string> pagesOf(const std::vector<SafariTab>& tabs,
                                 const PreviousDocumentCache::Document& previous) {
  const std::vector<std::string>* knownPages = nullptr;
  if (previous.pages && previous.pages->size() == previous.snapshot->tabs.size()) {
    knownPages = previous.pages.get();
  }
  std::vector<std::string> pages;
  pages.reserve(tabs.size());
  for (std::size_t i = 0; i < tabs.size(); ++i) {
    if (knownPages != nullptr && i < knownPages->size() &&
        previous.snapshot->tabs[i].url == tabs[i].url) {
      pages.push_back((*knownPages)[i]);
    } else {
      pages.push_back(normalizedURL(tabs[i].url));
    }
  }
  return pages;
}

// The same for the previous tabs. Most of them are the new tabs again, at the
// same place or elsewhere, and an address normalizes the same every time, so
// their results are reused rather than computed twice.
std::vector<std::string> previousPagesOf(const std::vector<SafariTab>& previousTabs,
                                         const std::vector<SafariTab>& tabs,
                                         const std::vector<std::string>& pages) {
  std::vector<std::string> previousPages;
  previousPages.reserve(previousTabs.size());
  std::unordered_map<std::string_view, std::size_t> byURL;
  for (std::size_t i = 0; i < previousTabs.size(); ++i) {
    const std::string& url = previousTabs[i].url;
    if (i < tabs.size() && tabs[i].url == url) {
      previousPages.push_back(pages[i]);
      continue;
    }
    if (byURL.empty()) {
      byURL.reserve(tabs.size());
      for (std::size_t j = 0; j < tabs.size(); ++j) byURL.emplace(tabs[j].url, j);
    }
    const auto found = byURL.find(url);
    previousPages.push_back(found != byURL.end() ? pages[found->second] : normalizedURL(url));
  }
  return previousPages;
}

// A list of pages and, made on first use, the set of them: many saves never
// need the set.
class Pages {
 public:
  explicit Pages(std::vector<std::string> list) : list_(std::move(list)) {}
  Pages(const Pages&) = delete;  // the set points into the list
  Pages& operator=(const Pages&) = delete;

  const std::vector<std::string>& list() const { return list_; }
  const PageSet& set() {
    if (!set_) {
      set_.emplace();
      set_->reserve(list_.size());
      for (const std::string& page : list_) set_->insert(page);
    }
    return *set_;
  }
  bool contains(std::string_view page) { return set().contains(page); }

 private:
  std::vector<std::string> list_;
  std::optional<PageSet> set_;
};

// Each open page keeps the time it was first seen: the previous document's
// value for it, else the previous scan time when it was open then (a document
// without a map, or a tab that had no entry), else this scan's time. The
// pages are moved into the map; they are not needed apart from it.
FirstSeenMap carryFirstSeen(const std::vector<SafariTab>& tabs, std::vector<std::string> pages,
                            std::string_view scannedAt, const TabSnapshot* previous,
                            Pages& previousPages) {
  FirstSeenMap firstSeen;
  firstSeen.reserve(tabs.size());
  for (std::size_t i = 0; i < tabs.size(); ++i) {
    if (tabs[i].url.empty()) continue;
    std::string& page = pages[i];
    const std::string* value = nullptr;
    if (previous && previous->firstSeen) value = previous->firstSeen->find(page);
    if (value == nullptr && previous && previousPages.contains(page)) value = &previous->scannedAt;
    firstSeen.set(std::move(page), value ? *value : std::string(scannedAt));
  }
  return firstSeen;
}

// The new page set is the map's keys (distinct by construction) plus the
// empty address when a tab has no url, so it never needs a set of its own.
bool samePages(Pages& previousPages, const FirstSeenMap& firstSeen,
               const std::vector<SafariTab>& tabs) {
  const bool anyEmptyURL =
      std::any_of(tabs.begin(), tabs.end(), [](const SafariTab& tab) { return tab.url.empty(); });
  const PageSet& previous = previousPages.set();
  if (previous.size() != firstSeen.size() + (anyEmptyURL ? 1 : 0)) return false;
  if (anyEmptyURL && !previous.contains(std::string_view())) return false;
  for (const auto& entry : firstSeen) {
    if (!previous.contains(entry.first)) return false;
  }
  return true;
}

// Nothing to write when the tabs are the stored ones, the stored scan is
// recent, and the map this save would carry over is the stored one. It is
// exactly when the stored map has an entry for every open page and for no
// other: each page then keeps its stored value. Checked before any map is
// built, since most scans change nothing.
bool unchangedAndRecent(const TabSnapshot& previous, const std::vector<SafariTab>& tabs,
                        const std::vector<std::string>& pages, double now) {
  if (!previous.firstSeen) return false;
  const std::optional<double> previousTime = VelmoraDate::parse(previous.scannedAt);
  if (!previousTime || now - *previousTime >= kRecentWindow) return false;
  if (!(previous.tabs == tabs)) return false;
  const FirstSeenMap& stored = *previous.firstSeen;
  std::vector<bool> covered(stored.size(), false);
  std::size_t coveredCount = 0;
  for (std::size_t i = 0; i < tabs.size(); ++i) {
    if (tabs[i].url.empty()) continue;
    const std::size_t position = stored.position(pages[i]);
    if (position == stored.size()) return false;
    if (!covered[position]) {
      covered[position] = true;
      ++coveredCount;
    }
  }
  return coveredCount == stored.size();
}

Status saveUnguarded(const std::vector<SafariTab>& tabs, std::string_view scannedAt,
                     const Options& options) {
  if (Status named = checkScanTimeNamesAFile(scannedAt); !named) return named;

  Result<std::filesystem::path> found = options.env->storageDirectory();
  if (!found) return found.error();
  const std::filesystem::path& storage = *found;

  const std::filesystem::path snapshotFile = storage / kSnapshotFileName;
  double now;
  bool pagesChanged;
  FirstSeenMap firstSeen;
  {
    // The previous document is only needed up to here; letting it go before
    // encoding keeps the peak memory of a large save down.
    const PreviousDocumentCache::Document known =
        readPrevious(*options.env, snapshotFile, options.cache);
    const std::shared_ptr<const TabSnapshot>& previous = known.snapshot;
    std::vector<std::string> pages = pagesOf(tabs, known);
    now = VelmoraDate::parse(scannedAt).value_or(options.env->now());
    if (previous && unchangedAndRecent(*previous, tabs, pages, now)) {
      if (options.cache != nullptr && !known.pages) {
        options.cache->keepPages(previous.get(), previousPagesOf(previous->tabs, tabs, pages));
      }
      return Ok();
    }
    Pages previousPages(previous ? previousPagesOf(previous->tabs, tabs, pages)
                                 : std::vector<std::string>());
    if (options.cache != nullptr && previous && !known.pages) {
      options.cache->keepPages(previous.get(), previousPages.list());
    }
    firstSeen = carryFirstSeen(tabs, std::move(pages), scannedAt, previous.get(), previousPages);
    pagesChanged = !samePages(previousPages, firstSeen, tabs);
  }
  // The bytes go to the file as they are encoded, and are encoded again for
  // the copy (the same records give the same bytes): a large document is
  // never held whole, which costs less memory than encoding costs time.
  const auto bytes = [&](const ByteSink& sink) {
    writeSnapshotBytes(scannedAt, tabs, &firstSeen,
                       [&sink](std::string_view piece) { sink(piece); });
  };
  if (Status written = writeFileAtomically(*options.env, snapshotFile, bytes); !written) {
    return written;
  }

  const std::filesystem::path historyDir = storage / kHistoryDirectoryName;
  if (Status made = createDirectories(*options.env, historyDir); !made) return made;

  // Only the newest name counts, even when it does not parse.
  const std::vector<std::filesystem::path> copies = historyFiles(*options.env, historyDir);
  const std::optional<double> lastCopy =
      copies.empty() ? std::nullopt : historyFileDate(copies.front());
  if (!pagesChanged && lastCopy && now - *lastCopy < kRecentWindow) return Ok();

  const std::filesystem::path copy = historyDir / historyFileName(scannedAt);
  if (Status written = writeFileAtomically(*options.env, copy, bytes); !written) return written;
  pruneHistory(*options.env, historyDir, now);
  return Ok();
}

}  // namespace

Status save(const std::vector<SafariTab>& tabs, std::string_view scannedAt,
            const Options& options) {
  // Running out of memory on a huge scan must not end the request.
  try {
    return saveUnguarded(tabs, scannedAt, options);
  } catch (const std::exception& error) {
    return Error{std::string("cannot save the snapshot: ") + error.what()};
  }
}

}  // namespace velmora::VelmoraStorage
