#include "storage/save_snapshot.h"

#include <exception>
#include <string>
#include <unordered_set>
#include <utility>

#include "model/normalized_url.h"
#include "model/tab_snapshot.h"
#include "model/unicode_text.h"
#include "platform/clock.h"
#include "platform/file_system.h"
#include "storage/history.h"
#include "storage/storage_directory.h"
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
  return Ok();
}

// A missing, unreadable or undecodable document counts as no document.
std::optional<TabSnapshot> readPrevious(const std::filesystem::path& file) {
  Result<std::string> bytes = fs::readFile(file);
  if (!bytes) return std::nullopt;
  Result<TabSnapshot> previous = decodeSnapshot(*bytes);
  if (!previous) return std::nullopt;
  return std::move(*previous);
}

// The normalized address of every tab, in order, those with an empty url
// included; computed once per tab and shared by every step that needs it.
std::vector<std::string> pagesOf(const std::vector<SafariTab>& tabs) {
  std::vector<std::string> pages;
  pages.reserve(tabs.size());
  for (const SafariTab& tab : tabs) pages.push_back(normalizedURL(tab.url));
  return pages;
}

PageSet pageSet(const std::vector<std::string>& pages) {
  PageSet set;
  set.reserve(pages.size());
  for (const std::string& page : pages) set.insert(page);
  return set;
}

bool samePages(const PageSet& a, const PageSet& b) {
  if (a.size() != b.size()) return false;
  for (std::string_view page : a) {
    if (!b.contains(page)) return false;
  }
  return true;
}

// Each open page keeps the time it was first seen: the previous document's
// value for it, else the previous scan time when it was open then (a document
// without a map, or a tab that had no entry), else this scan's time.
FirstSeenMap carryFirstSeen(const std::vector<SafariTab>& tabs,
                            const std::vector<std::string>& pages, std::string_view scannedAt,
                            const std::optional<TabSnapshot>& previous,
                            const PageSet& previousPages) {
  FirstSeenMap firstSeen;
  for (std::size_t i = 0; i < tabs.size(); ++i) {
    if (tabs[i].url.empty()) continue;
    const std::string& page = pages[i];
    const std::string* value = nullptr;
    if (previous && previous->firstSeen) value = previous->firstSeen->find(page);
    if (value == nullptr && previous && previousPages.contains(page)) value = &previous->scannedAt;
    firstSeen.set(page, value ? *value : std::string(scannedAt));
  }
  return firstSeen;
}

bool unchangedAndRecent(const TabSnapshot& previous, const std::vector<SafariTab>& tabs,
                        const FirstSeenMap& firstSeen, double now) {
  const std::optional<double> previousTime = VelmoraDate::parse(previous.scannedAt);
  return previous.tabs == tabs && previous.firstSeen && *previous.firstSeen == firstSeen &&
         previousTime && now - *previousTime < kRecentWindow;
}

Status saveUnguarded(const std::vector<SafariTab>& tabs, std::string_view scannedAt,
                     const std::optional<std::filesystem::path>& dir) {
  if (Status named = checkScanTimeNamesAFile(scannedAt); !named) return named;

  std::filesystem::path storage;
  if (dir) {
    storage = *dir;
  } else {
    Result<std::filesystem::path> found = writeDir();
    if (!found) return found.error();
    storage = std::move(*found);
  }
  if (Status made = fs::createDirectories(storage); !made) return made;

  const std::filesystem::path snapshotFile = storage / kSnapshotFileName;
  const std::vector<std::string> pages = pagesOf(tabs);
  double now;
  bool pagesChanged;
  FirstSeenMap firstSeen;
  {
    // The previous document is only needed up to here; letting it go before
    // encoding keeps the peak memory of a large save down.
    const std::optional<TabSnapshot> previous = readPrevious(snapshotFile);
    const std::vector<std::string> previousPages =
        previous ? pagesOf(previous->tabs) : std::vector<std::string>();
    const PageSet previousPageSet = pageSet(previousPages);
    firstSeen = carryFirstSeen(tabs, pages, scannedAt, previous, previousPageSet);
    now = VelmoraDate::parse(scannedAt).value_or(currentTime());
    if (previous && unchangedAndRecent(*previous, tabs, firstSeen, now)) return Ok();
    pagesChanged = !samePages(previousPageSet, pageSet(pages));
  }

  const std::string bytes =
      snapshotBytes(TabSnapshot{std::string(scannedAt), tabs, std::move(firstSeen)});
  if (Status written = fs::writeFileAtomically(snapshotFile, bytes); !written) return written;

  const std::filesystem::path historyDir = storage / kHistoryDirectoryName;
  if (Status made = fs::createDirectories(historyDir); !made) return made;

  // Only the newest name counts, even when it does not parse.
  const std::vector<std::filesystem::path> copies = historyFiles(historyDir);
  const std::optional<double> lastCopy =
      copies.empty() ? std::nullopt : historyFileDate(copies.front());
  if (!pagesChanged && lastCopy && now - *lastCopy < kRecentWindow) return Ok();

  const std::filesystem::path copy = historyDir / historyFileName(scannedAt);
  if (Status written = fs::writeFileAtomically(copy, bytes); !written) return written;
  pruneHistory(historyDir, now);
  return Ok();
}

}  // namespace

Status save(const std::vector<SafariTab>& tabs, std::string_view scannedAt,
            const std::optional<std::filesystem::path>& dir) {
  // Running out of memory on a huge scan must not end the request.
  try {
    return saveUnguarded(tabs, scannedAt, dir);
  } catch (const std::exception& error) {
    return Error{std::string("cannot save the snapshot: ") + error.what()};
  }
}

}  // namespace velmora::VelmoraStorage
