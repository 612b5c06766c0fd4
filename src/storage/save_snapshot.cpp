#include "storage/save_snapshot.h"

#include <algorithm>
#include <cerrno>
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
#include "storage/known_document.h"
#include "storage/velmora_date.h"

namespace velmora::VelmoraStorage {
namespace {

// Pages compare by canonical equivalence, like every text of a document.
using PageSet = std::unordered_set<std::string_view, CanonicalHash, CanonicalEqual>;

// The scan time becomes a file name in the history directory; a "/" would
// reach outside it, and each system forbids names of its own. Caught before
// anything is written rather than by the copy's write, which would fail only
// after the snapshot had been replaced, with the whole name in its message.
Status checkScanTimeNamesAFile(Env& env, std::string_view scannedAt) {
  if (std::optional<std::string> problem = env.fileNameProblem(historyFileName(scannedAt))) {
    return Error{"the scan time cannot name a history file: it " + *problem};
  }
  return Ok();
}

using Known = KnownDocument::Contents;

// What reading the previous document found.
struct Previous {
  Known known;  // no snapshot when there is no document, or it did not decode
  // Where a document that did not decode was kept before being replaced.
  std::optional<std::filesystem::path> keptDamaged;
  // Nothing is to be written, as told without decoding the document: nothing
  // else was found.
  bool unchanged = false;
};

// The document at `file` in pieces; how the reading went is left in `read`.
TextSource piecesOf(Env& env, const std::filesystem::path& file, Status& read) {
  return [&env, &file, &read](const ByteSink& piece) {
    read = env.readFileInPieces(file, kMaxSnapshotDocumentBytes, piece);
    return read.ok();
  };
}

// A stored scan this recent is not written again when nothing changed; a
// scan time that does not parse is never recent.
bool isRecent(std::string_view scannedAt, double now) {
  const std::optional<double> time = VelmoraDate::parse(scannedAt);
  return time && now - *time < kRecentWindow;
}

// What unchangedAndRecent decides, told for a document not known yet
// without decoding it: nothing is to be written when it is what this host
// writes for these very tabs, and its scan is recent. False tells nothing.
bool unchangedInOwnBytes(const TextSource& document, const std::vector<SafariTab>& tabs,
                         double now) {
  return isOwnDocumentFor(document, tabs,
                          [now](std::string_view scannedAt) { return isRecent(scannedAt, now); });
}

// Keeps the bytes of a document that does not decode beside it, so that
// saving over it never destroys it unseen. Read whole, as such files are
// rare and bounded by kMaxSnapshotDocumentBytes.
Result<std::filesystem::path> keepDamaged(Env& env, const std::filesystem::path& file) {
  Result<std::string> bytes = env.readFile(file, kMaxSnapshotDocumentBytes);
  if (!bytes) return bytes.error();
  std::filesystem::path kept = file;
  kept += kDamagedSnapshotSuffix;
  if (Status written = writeFileAtomically(env, kept, *bytes); !written) return written.error();
  return kept;
}

// The previous document. A missing one is none, and so is one that does not
// decode, once kept aside; one that exists but cannot be read (no
// permission, an I/O error, no descriptor left) fails the save, since saving
// over it would lose every page's first-seen time.
Result<Previous> readPrevious(Env& env, const std::filesystem::path& file, KnownDocument* cache,
                              const std::vector<SafariTab>& tabs, double now) {
  std::optional<FileIdentity> identity;
  if (cache != nullptr) {
    // Only a regular file has an identity that its edits change.
    Result<FileInfo> found = env.examine(file);
    if (found && found->regular()) {
      if (Known known = cache->find(found->identity); known.snapshot) return Previous{known, {}};
      identity = found->identity;
    }
    // What was kept is of no more use; it goes before the document is read.
    cache->clear();
    if (!found) {
      if (found.error().code == ENOENT) return Previous{};
      return found.error();
    }
  }
  Status read = Ok();
  const bool unchanged = unchangedInOwnBytes(piecesOf(env, file, read), tabs, now);
  // Else decoded as it is read: a large document is never held whole.
  Result<TabSnapshot> decoded = TabSnapshot{};
  if (!unchanged && read.ok()) decoded = decodeSnapshot(piecesOf(env, file, read));
  if (!read.ok()) {
    if (read.error().code == ENOENT) return Previous{};
    return read.error();
  }
  if (unchanged) return Previous{{}, {}, true};
  if (!decoded) {
    Result<std::filesystem::path> kept = keepDamaged(env, file);
    if (!kept) return kept.error();
    return Previous{{}, std::move(*kept)};
  }
  auto previous = std::make_shared<const TabSnapshot>(std::move(*decoded));
  // Kept only when the file stayed the same while it was read.
  if (identity) {
    if (Result<FileInfo> after = env.examine(file); after && after->identity == *identity) {
      cache->keep(*identity, {previous, nullptr});
    }
  }
  return Previous{{previous, nullptr}, {}};
}

// Where the page of the previous tab at `i` sits in the previous map, as a
// save worked it out before, when the new tab at `i` has the very same
// address; else kNoPage.
std::uint32_t knownPosition(const Known& previous, const std::vector<SafariTab>& tabs,
                            std::size_t i) {
  if (!previous.pages || previous.pages->size() != previous.snapshot->tabs.size() ||
      i >= previous.pages->size() || previous.snapshot->tabs[i].url != tabs[i].url) {
    return KnownDocument::kNoPage;
  }
  return (*previous.pages)[i];
}

// The normalized address of every tab, in order, those with an empty url
// included. A tab with the same address as the previous document's tab at
// its place reuses that page when it is known: an address normalizes the
// same every time.
std::vector<std::string> pagesOf(const std::vector<SafariTab>& tabs, const Known& previous) {
  std::vector<std::string> pages;
  pages.reserve(tabs.size());
  for (std::size_t i = 0; i < tabs.size(); ++i) {
    const std::uint32_t known = knownPosition(previous, tabs, i);
    pages.push_back(known != KnownDocument::kNoPage
                        ? (previous.snapshot->firstSeen->begin() + known)->first
                        : normalizedURL(tabs[i].url));
  }
  return pages;
}

// The pages of the previous tabs' addresses. Most previous tabs are the new
// tabs again, at the same place or elsewhere, and an address normalizes the
// same every time, so the new tabs' pages are reused rather than worked out
// twice.
class NewTabPages {
 public:
  NewTabPages(const std::vector<SafariTab>& tabs, const std::vector<std::string>& pages)
      : tabs_(tabs), pages_(pages) {}

  // The new tabs' page for the address of the previous tab at `i`; null when
  // no new tab has that address.
  const std::string* find(const std::string& url, std::size_t i) {
    if (i < tabs_.size() && tabs_[i].url == url) return &pages_[i];
    if (byURL_.empty()) {
      byURL_.reserve(tabs_.size());
      for (std::size_t j = 0; j < tabs_.size(); ++j) byURL_.emplace(tabs_[j].url, j);
    }
    const auto found = byURL_.find(url);
    return found != byURL_.end() ? &pages_[found->second] : nullptr;
  }

 private:
  const std::vector<SafariTab>& tabs_;
  const std::vector<std::string>& pages_;
  std::unordered_map<std::string_view, std::size_t> byURL_;
};

// The page of each previous tab, in order.
std::vector<std::string> previousPagesOf(const std::vector<SafariTab>& previousTabs,
                                         NewTabPages& newPages) {
  std::vector<std::string> previousPages;
  previousPages.reserve(previousTabs.size());
  for (std::size_t i = 0; i < previousTabs.size(); ++i) {
    const std::string& url = previousTabs[i].url;
    const std::string* page = newPages.find(url, i);
    previousPages.push_back(page ? *page : normalizedURL(url));
  }
  return previousPages;
}

// Where the page of each previous tab sits in the previous map (kNoPage for
// an empty url); nothing when the map lacks one of them.
std::optional<std::vector<std::uint32_t>> previousPositions(const TabSnapshot& previous,
                                                            NewTabPages& newPages) {
  if (!previous.firstSeen) return std::nullopt;
  const FirstSeenMap& map = *previous.firstSeen;
  std::vector<std::uint32_t> positions;
  positions.reserve(previous.tabs.size());
  for (std::size_t i = 0; i < previous.tabs.size(); ++i) {
    const std::string& url = previous.tabs[i].url;
    if (url.empty()) {
      positions.push_back(KnownDocument::kNoPage);
      continue;
    }
    const std::string* page = newPages.find(url, i);
    const std::size_t position = page ? map.position(*page) : map.position(normalizedURL(url));
    if (position == map.size()) return std::nullopt;
    positions.push_back(static_cast<std::uint32_t>(position));
  }
  return positions;
}

// A list of pages and, made on first use, the set of them: many saves never
// need the set. The pages are the list's own, or those a kept document's map
// holds.
class Pages {
 public:
  explicit Pages(std::vector<std::string> owned) : owned_(std::move(owned)) {
    list_.assign(owned_.begin(), owned_.end());
  }
  explicit Pages(std::vector<std::string_view> list) : list_(std::move(list)) {}
  Pages(const Pages&) = delete;  // the set points into the list
  Pages& operator=(const Pages&) = delete;

  const std::vector<std::string_view>& list() const { return list_; }
  const PageSet& set() {
    if (!set_) {
      set_.emplace();
      set_->reserve(list_.size());
      for (std::string_view page : list_) set_->insert(page);
    }
    return *set_;
  }
  bool contains(std::string_view page) { return set().contains(page); }

 private:
  std::vector<std::string> owned_;
  std::vector<std::string_view> list_;
  std::optional<PageSet> set_;
};

// The previous tabs' pages, by their positions in the previous map.
std::vector<std::string_view> pagesAt(const TabSnapshot& previous,
                                      const std::vector<std::uint32_t>& positions) {
  const FirstSeenMap& map = *previous.firstSeen;
  std::vector<std::string_view> pages;
  pages.reserve(positions.size());
  for (const std::uint32_t position : positions) {
    pages.push_back(position == KnownDocument::kNoPage ? std::string_view()
                                                      : (map.begin() + position)->first);
  }
  return pages;
}

// Each open page keeps the time it was first seen: the previous document's
// value for it, else the previous scan time when it was open then (a document
// without a map, or a tab that had no entry), else this scan's time. The
// pages are moved into the map; they are not needed apart from it.
// Where each tab's page went in the map is noted in `positions`.
FirstSeenMap carryFirstSeen(const std::vector<SafariTab>& tabs, std::vector<std::string> pages,
                            std::string_view scannedAt, const TabSnapshot* previous,
                            Pages& previousPages, std::vector<std::uint32_t>& positions) {
  FirstSeenMap firstSeen;
  firstSeen.reserve(tabs.size());
  positions.reserve(tabs.size());
  for (std::size_t i = 0; i < tabs.size(); ++i) {
    if (tabs[i].url.empty()) {
      positions.push_back(KnownDocument::kNoPage);
      continue;
    }
    std::string& page = pages[i];
    const std::string* value = nullptr;
    if (previous && previous->firstSeen) value = previous->firstSeen->find(page);
    if (value == nullptr && previous && previousPages.contains(page)) value = &previous->scannedAt;
    positions.push_back(static_cast<std::uint32_t>(
        firstSeen.set(std::move(page), value ? *value : std::string(scannedAt))));
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
// built, since most scans change nothing; a tab's page is worked out only
// when it is not known already. Where each tab's page sits in the stored map
// (kNoPage for an empty url) is noted in `positions` on the way.
bool unchangedAndRecent(const Known& known, const std::vector<SafariTab>& tabs, double now,
                        std::vector<std::uint32_t>& positions) {
  const TabSnapshot& previous = *known.snapshot;
  if (!previous.firstSeen || !isRecent(previous.scannedAt, now)) return false;
  if (!(previous.tabs == tabs)) return false;
  const FirstSeenMap& stored = *previous.firstSeen;
  std::vector<bool> covered(stored.size(), false);
  std::size_t coveredCount = 0;
  positions.reserve(tabs.size());
  for (std::size_t i = 0; i < tabs.size(); ++i) {
    if (tabs[i].url.empty()) {
      positions.push_back(KnownDocument::kNoPage);
      continue;
    }
    const std::uint32_t kept = knownPosition(known, tabs, i);
    const std::size_t position =
        kept != KnownDocument::kNoPage ? kept : stored.position(normalizedURL(tabs[i].url));
    if (position == stored.size()) return false;
    positions.push_back(static_cast<std::uint32_t>(position));
    if (!covered[position]) {
      covered[position] = true;
      ++coveredCount;
    }
  }
  return coveredCount == stored.size();
}

Result<Saved> saveUnguarded(std::vector<SafariTab> tabs, std::string_view scannedAt,
                            const Options& options) {
  if (Status named = checkScanTimeNamesAFile(*options.env, scannedAt); !named) {
    return named.error();
  }

  Result<std::filesystem::path> found = options.env->storageDirectory();
  if (!found) return found.error();
  const std::filesystem::path& storage = *found;

  const std::filesystem::path snapshotFile = storage / kSnapshotFileName;
  KnownDocument* const cache = options.cache;
  Saved saved;
  double now;
  bool pagesChanged;
  FirstSeenMap firstSeen;
  std::vector<std::uint32_t> positions;
  {
    // The previous document is only needed up to here; letting it go before
    // encoding keeps the peak memory of a large save down.
    now = VelmoraDate::parse(scannedAt).value_or(VelmoraDate::fromUnixTime(options.env->now()));
    Result<Previous> read = readPrevious(*options.env, snapshotFile, cache, tabs, now);
    if (!read) return read.error();
    if (read->unchanged) return saved;
    saved.keptDamaged = std::move(read->keptDamaged);
    const Known& known = read->known;
    const std::shared_ptr<const TabSnapshot>& previous = known.snapshot;
    if (std::vector<std::uint32_t> unchanged;
        previous && unchangedAndRecent(known, tabs, now, unchanged)) {
      // The tabs are the stored ones, so their positions are the stored tabs'.
      if (cache != nullptr && !known.pages) cache->keepPages(previous.get(), std::move(unchanged));
      return saved;
    }
    std::vector<std::string> pages = pagesOf(tabs, known);
    NewTabPages newPages(tabs, pages);
    // The previous pages are viewed in the previous map where it holds them
    // all, which spares a copy of each.
    std::optional<Pages> previousPages;
    if (!previous) {
      previousPages.emplace(std::vector<std::string>());
    } else if (known.pages) {
      previousPages.emplace(pagesAt(*previous, *known.pages));
    } else if (auto found = previousPositions(*previous, newPages)) {
      previousPages.emplace(pagesAt(*previous, *found));
    } else {
      previousPages.emplace(previousPagesOf(previous->tabs, newPages));
    }
    firstSeen = carryFirstSeen(tabs, std::move(pages), scannedAt, previous.get(), *previousPages,
                               positions);
    pagesChanged = !samePages(*previousPages, firstSeen, tabs);
  }
  // What was known of the previous document is of no more use.
  if (cache != nullptr) cache->clear();
  const auto document = std::make_shared<TabSnapshot>(
      TabSnapshot{std::string(scannedAt), std::move(tabs), std::move(firstSeen)});

  // The bytes go to the file as they are encoded: a large document is never
  // held whole.
  const auto bytes = [&document](const ByteSink& sink) {
    writeSnapshotBytes(document->scannedAt, document->tabs, &*document->firstSeen, sink);
  };
  std::optional<FileIdentity> written;
  if (Status done = writeFileAtomically(*options.env, snapshotFile, bytes, &written); !done) {
    return done.error();
  }
  if (cache != nullptr && written && written->size <= KnownDocument::kMaxDocumentBytes) {
    // Kept without room for tabs that will not come; only then, since for a
    // moment the tabs are there twice.
    document->tabs.shrink_to_fit();
    cache->keep(*written, {document, std::make_shared<const std::vector<std::uint32_t>>(
                                         std::move(positions))});
  }

  const std::filesystem::path historyDir = storage / kHistoryDirectoryName;
  if (Status made = createDirectories(*options.env, historyDir); !made) return made.error();

  // Only the newest name counts, even when it does not parse.
  const std::vector<std::filesystem::path> copies = historyFiles(*options.env, historyDir);
  const std::optional<double> lastCopy =
      copies.empty() ? std::nullopt : historyFileDate(copies.front());
  if (!pagesChanged && lastCopy && now - *lastCopy < kRecentWindow) return saved;

  // The copy is made from the file just written, inside the kernel; should
  // that file have been replaced since, the same records are encoded again.
  const std::filesystem::path copy = historyDir / utf8Path(historyFileName(scannedAt));
  if (Status done = written ? copyFileAtomically(*options.env, snapshotFile, *written, copy, bytes)
                            : writeFileAtomically(*options.env, copy, bytes);
      !done) {
    return done.error();
  }
  pruneHistory(*options.env, historyDir, now);
  return saved;
}

}  // namespace

Result<Saved> save(std::vector<SafariTab> tabs, std::string_view scannedAt,
                   const Options& options) {
  // Running out of memory on a huge scan must not end the request.
  try {
    return saveUnguarded(std::move(tabs), scannedAt, options);
  } catch (const std::exception& error) {
    return Error{std::string("cannot save the snapshot: ") + error.what()};
  }
}

}  // namespace velmora::VelmoraStorage
