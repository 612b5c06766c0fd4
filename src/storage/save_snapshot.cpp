#include "storage/save_snapshot.h"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "model/normalized_url.h"
#include "model/tab_snapshot.h"
#include "model/unicode_text.h"
#include "platform/os_error.h"
#include "storage/history.h"
#include "storage/known_document.h"
#include "storage/velmora_date.h"

// A save goes in four steps: decide whether anything is to be written, build
// the new document, write it, then copy it into the history and prune that.
// Words: a tab's address is its url as reported; its page is that address
// normalized, the key of the first-seen map; a position is where a page sits
// in a map.
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
    return Error{"cannot name a history copy after the scan time: it " + *problem};
  }
  return Ok();
}

// A stored scan this recent is not written again when nothing changed; a
// scan time that does not parse is never recent.
bool isRecent(std::string_view scannedAt, double now) {
  const std::optional<double> time = VelmoraDate::parse(scannedAt);
  return time && now - *time < kRecentWindow;
}

// --- Deciding --------------------------------------------------------------

// Nothing to write when the tabs are the stored ones, the stored scan is
// recent, and the map this save would carry over is the stored one. It is
// exactly when the stored map has an entry for every open page and for no
// other: each page then keeps its stored value.
bool unchangedAndRecent(const KnownContents& known, const std::vector<SafariTab>& tabs,
                        double now) {
  const TabSnapshot& previous = *known.snapshot;
  if (!previous.firstSeen || !known.positions || !isRecent(previous.scannedAt, now)) return false;
  if (!(previous.tabs == tabs)) return false;
  std::vector<bool> covered(previous.firstSeen->size(), false);
  std::size_t coveredCount = 0;
  for (const std::uint32_t position : *known.positions) {
    if (position != kNoPage && !covered[position]) {
      covered[position] = true;
      ++coveredCount;
    }
  }
  return coveredCount == covered.size();
}

// The previous document, or that nothing is to be written. A document this
// host does not know yet is first compared with what it writes for these
// tabs, byte for byte, which tells most unchanged scans without decoding it.
Result<Previous> decide(Env& env, KnownDocument& known, const std::filesystem::path& file,
                        const std::vector<SafariTab>& tabs, double now) {
  const auto recent = [now](std::string_view scannedAt) { return isRecent(scannedAt, now); };
  const KnownDocument::Question unchanged{
      [&](const TextSource& bytes) { return isOwnDocumentFor(bytes, tabs, recent); },
      [&](const KnownContents& contents) { return unchangedAndRecent(contents, tabs, now); }};
  return known.find(env, file, unchanged);
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

// --- Building --------------------------------------------------------------

// Finds a tab with a given address in a list: at the place asked about
// first, as most tabs stay where they were, else through an index of the
// addresses made on first need. An address normalizes the same every time,
// so the tab found has the page wanted.
class AddressLookup {
 public:
  static constexpr std::size_t kNone = SIZE_MAX;

  explicit AddressLookup(const std::vector<SafariTab>& tabs) : tabs_(tabs) {}

  // The place of a tab with that address, `at` when that one has it; kNone
  // when no tab has it.
  std::size_t find(const std::string& address, std::size_t at) {
    if (at < tabs_.size() && tabs_[at].url == address) return at;
    if (byAddress_.empty()) {
      byAddress_.reserve(tabs_.size());
      for (std::size_t i = 0; i < tabs_.size(); ++i) byAddress_.emplace(tabs_[i].url, i);
    }
    const auto found = byAddress_.find(address);
    return found != byAddress_.end() ? found->second : kNone;
  }

 private:
  const std::vector<SafariTab>& tabs_;
  std::unordered_map<std::string_view, std::size_t> byAddress_;
};

// For each new tab, the position of its page in the previous map when a
// previous tab had the very same address (whose position `placed` gives);
// else kNoPage.
PagePositions reusedPositions(const std::vector<SafariTab>& previousTabs,
                              const PagePositions& placed, const std::vector<SafariTab>& tabs) {
  PagePositions reused(tabs.size(), kNoPage);
  AddressLookup previous(previousTabs);
  for (std::size_t i = 0; i < tabs.size(); ++i) {
    if (const std::size_t found = previous.find(tabs[i].url, i); found != AddressLookup::kNone) {
      reused[i] = placed[found];
    }
  }
  return reused;
}

// The page of every tab, in order, those with an empty address included; one
// whose page sits in the previous map at `reused` (when given) is taken from
// there.
std::vector<std::string> pagesOf(const std::vector<SafariTab>& tabs, const FirstSeenMap* previous,
                                 const PagePositions* reused) {
  std::vector<std::string> pages(tabs.size());
  for (std::size_t i = 0; i < tabs.size(); ++i) {
    if (reused != nullptr && (*reused)[i] != kNoPage) {
      pages[i] = previous->at((*reused)[i]).first;
    } else {
      normalizedURL(tabs[i].url, pages[i]);
    }
  }
  return pages;
}

// The pages of the previous tabs, and, made on first use, the set of them:
// many saves never need the set. The pages are viewed in the previous map
// where it holds them all, which spares a copy of each, else owned.
class PreviousPages {
 public:
  // Where the previous map holds them, at these positions.
  PreviousPages(const FirstSeenMap& map, const PagePositions& positions) {
    list_.reserve(positions.size());
    for (const std::uint32_t position : positions) {
      list_.push_back(position == kNoPage ? std::string_view() : map.at(position).first);
    }
  }
  // The previous tabs' pages, worked out here; a new tab with the very same
  // address gives its page.
  PreviousPages(const std::vector<SafariTab>& previousTabs, const std::vector<SafariTab>& tabs,
                const std::vector<std::string>& pages);
  PreviousPages() = default;
  PreviousPages(const PreviousPages&) = delete;  // the set points into the list
  PreviousPages& operator=(const PreviousPages&) = delete;

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

PreviousPages::PreviousPages(const std::vector<SafariTab>& previousTabs,
                             const std::vector<SafariTab>& tabs,
                             const std::vector<std::string>& pages) {
  AddressLookup current(tabs);
  owned_.reserve(previousTabs.size());
  for (std::size_t i = 0; i < previousTabs.size(); ++i) {
    const std::string& url = previousTabs[i].url;
    const std::size_t found = current.find(url, i);
    owned_.push_back(found != AddressLookup::kNone ? pages[found] : normalizedURL(url));
  }
  list_.assign(owned_.begin(), owned_.end());
}

// Each open page keeps the time it was first seen: the previous document's
// value for it, else the previous scan time when it was open then (a document
// without a map, or a tab that had no entry), else this scan's time. The
// pages are moved into the map; they are not needed apart from it. Where
// each tab's page went in the map is noted in `positions`.
FirstSeenMap carryFirstSeen(const std::vector<SafariTab>& tabs, std::vector<std::string> pages,
                            std::string_view scannedAt, const TabSnapshot* previous,
                            PreviousPages& previousPages, PagePositions& positions) {
  FirstSeenMap firstSeen;
  firstSeen.reserve(tabs.size());
  positions.reserve(tabs.size());
  for (std::size_t i = 0; i < tabs.size(); ++i) {
    if (tabs[i].url.empty()) {
      positions.push_back(kNoPage);
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
// empty address when a tab has none, so it never needs a set of its own.
bool samePages(PreviousPages& previousPages, const FirstSeenMap& firstSeen,
               const std::vector<SafariTab>& tabs) {
  const bool anyEmptyAddress =
      std::any_of(tabs.begin(), tabs.end(), [](const SafariTab& tab) { return tab.url.empty(); });
  const PageSet& previous = previousPages.set();
  if (previous.size() != firstSeen.size() + (anyEmptyAddress ? 1 : 0)) return false;
  if (anyEmptyAddress && !previous.contains(std::string_view())) return false;
  for (const auto& entry : firstSeen) {
    if (!previous.contains(entry.first)) return false;
  }
  return true;
}

// What a writing save builds: the new document, where its tabs' pages sit in
// its map, and whether its set of pages differs from the previous one's.
struct Built {
  std::shared_ptr<TabSnapshot> document;
  PagePositions positions;
  bool pagesChanged = true;
};

// The new document from the tabs and what the previous one held. A previous
// document this save decoded lets go of its tabs as soon as their pages are
// known, before the new pages are made: a large save's peak memory is then
// lower by a whole tab list.
Built build(std::vector<SafariTab> tabs, std::string_view scannedAt, Previous previous) {
  const TabSnapshot* const before = previous.known.snapshot.get();
  const PagePositions* const placed = previous.known.positions.get();
  std::vector<std::string> pages;
  std::optional<PreviousPages> previousPages;
  if (before == nullptr) {
    pages = pagesOf(tabs, nullptr, nullptr);
    previousPages.emplace();
  } else if (placed != nullptr) {
    const PagePositions reused = reusedPositions(before->tabs, *placed, tabs);
    if (previous.decoded) std::vector<SafariTab>().swap(previous.decoded->tabs);
    pages = pagesOf(tabs, &*before->firstSeen, &reused);
    previousPages.emplace(*before->firstSeen, *placed);
  } else {
    pages = pagesOf(tabs, nullptr, nullptr);
    previousPages.emplace(before->tabs, tabs, pages);
  }
  Built built;
  FirstSeenMap firstSeen =
      carryFirstSeen(tabs, std::move(pages), scannedAt, before, *previousPages, built.positions);
  built.pagesChanged = !samePages(*previousPages, firstSeen, tabs);
  built.document = std::make_shared<TabSnapshot>(
      TabSnapshot{std::string(scannedAt), std::move(tabs), std::move(firstSeen)});
  return built;
}

// --- Writing, copying and pruning -----------------------------------------

// The document's bytes, encoded as they go to a file: a large document is
// never held whole.
std::function<void(const ByteSink&)> bytesOf(const TabSnapshot& document) {
  return [&document](const ByteSink& sink) {
    writeSnapshotBytes(document.scannedAt, document.tabs, &*document.firstSeen, sink);
  };
}

// Replaces the snapshot document; the identity the written file has, when
// it is still the version written.
Result<std::optional<FileIdentity>> writeSnapshot(Env& env, const std::filesystem::path& file,
                                                  const TabSnapshot& document) {
  std::optional<FileIdentity> written;
  if (Status done = writeFileAtomically(env, file, bytesOf(document), &written); !done) {
    return done.error();
  }
  return written;
}

// A history copy when the set of pages changed or the newest copy is not
// recent (only the newest name counts, even when it does not parse), then
// the history pruned. The copy is made from the file just written, inside
// the kernel; should that file have been replaced since, the same records
// are encoded again.
Status copyAndPrune(Env& env, const std::filesystem::path& storage, const Built& built, double now,
                    const std::optional<FileIdentity>& written) {
  const std::filesystem::path historyDir = storage / kHistoryDirectoryName;
  if (Status made = createDirectories(env, historyDir); !made) return made;

  const std::vector<std::filesystem::path> copies = historyFiles(env, historyDir);
  const std::optional<double> lastCopy =
      copies.empty() ? std::nullopt : historyFileDate(copies.front());
  if (!built.pagesChanged && lastCopy && now - *lastCopy < kRecentWindow) return Ok();

  const TabSnapshot& document = *built.document;
  const std::filesystem::path copy = historyDir / utf8Path(historyFileName(document.scannedAt));
  const std::filesystem::path snapshotFile = storage / kSnapshotFileName;
  if (Status done = written
                        ? copyFileAtomically(env, snapshotFile, *written, copy, bytesOf(document))
                        : writeFileAtomically(env, copy, bytesOf(document));
      !done) {
    return done;
  }
  pruneHistory(env, historyDir, now);
  return Ok();
}

Result<Saved> saveUnguarded(std::vector<SafariTab> tabs, std::string_view scannedAt,
                            const Options& options) {
  Env& env = *options.env;
  if (Status named = checkScanTimeNamesAFile(env, scannedAt); !named) return named.error();
  Result<std::filesystem::path> storage = env.storageDirectory();
  if (!storage) return storage.error();
  const std::filesystem::path snapshotFile = *storage / kSnapshotFileName;
  const double now = VelmoraDate::parse(scannedAt).value_or(VelmoraDate::fromUnixTime(env.now()));
  // Without a long-lived host's, a save knows what it finds alone.
  KnownDocument ownKnowledge;
  KnownDocument& known = options.cache != nullptr ? *options.cache : ownKnowledge;

  Result<Previous> previous = decide(env, known, snapshotFile, tabs, now);
  if (!previous) return previous.error();
  Saved saved;
  if (previous->state == Previous::State::answered) return saved;
  if (previous->state == Previous::State::damaged) {
    Result<std::filesystem::path> kept = keepDamaged(env, snapshotFile);
    if (!kept) return kept.error();
    saved.keptDamaged = std::move(*kept);
  }

  Built built = build(std::move(tabs), scannedAt, std::move(*previous));
  Result<std::optional<FileIdentity>> written = writeSnapshot(env, snapshotFile, *built.document);
  if (!written) return written.error();
  if (*written && options.cache != nullptr &&
      (*written)->size <= KnownDocument::kMaxDocumentBytes) {
    // Kept without room for tabs that will not come; only when kept, since
    // for a moment the tabs are there twice.
    built.document->tabs.shrink_to_fit();
    known.wrote(**written, {built.document,
                            std::make_shared<const PagePositions>(std::move(built.positions))});
  }
  if (Status done = copyAndPrune(env, *storage, built, now, *written); !done) return done.error();
  return saved;
}

}  // namespace

Result<Saved> save(std::vector<SafariTab> tabs, std::string_view scannedAt,
                   const Options& options) {
  // Running out of memory on a huge scan must not end the request.
  try {
    return saveUnguarded(std::move(tabs), scannedAt, options);
  } catch (const std::exception& error) {
    return thrownError("cannot save the snapshot", error);
  }
}

}  // namespace velmora::VelmoraStorage
