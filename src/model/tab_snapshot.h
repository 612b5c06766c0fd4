#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/status.h"
#include "base/text_source.h"
#include "model/first_seen_map.h"
#include "model/safari_tab.h"

namespace velmora {

// One saved scan: its time as the script sent it (stored verbatim, never
// validated here), the tabs in the order received, and the first-seen map.
struct TabSnapshot {
  std::string scannedAt;
  std::vector<SafariTab> tabs;
  std::optional<FirstSeenMap> firstSeen;  // missing or null in a document gives absent
};

// Decodes a snapshot document straight from its text, with no tree between;
// any failure, also in a single tab entry, fails the whole document.
Result<TabSnapshot> decodeSnapshot(std::string_view documentText);

// The same for a document read in pieces (a file, say), never held whole.
Result<TabSnapshot> decodeSnapshot(const TextSource& document);

// Whether the document is, byte for byte, what writeSnapshotBytes writes for
// `tabs` with the first-seen map a save gives them: an entry for each of
// their pages (the normalized url of each tab with one, once by canonical
// equivalence) in the order the pages first appear. Its scan time and the
// map's times may be any text of printable ASCII without '"' or '\', which
// JSON holds as it stands; the scan time must also please `wanted`. When
// true, decoding it would give that scan time, `tabs` and such a map, which
// may then be taken as read, at a fraction of the cost of decoding and with
// nothing kept. False tells nothing more: the document may well be equal in
// content, its texts in another normalisation form, say.
bool isOwnDocumentFor(const TextSource& document, const std::vector<SafariTab>& tabs,
                      const std::function<bool(std::string_view scannedAt)>& wanted);

// The document's byte form, as written to disk, handed to `write` in pieces
// of some 64 KiB so that it need not be held whole: members in the order
// scannedAt, tabs, firstSeen (only when present). Encoding stops at the first
// piece that `write` answers with false: a failed write needs no more.
void writeSnapshotBytes(std::string_view scannedAt, const std::vector<SafariTab>& tabs,
                        const FirstSeenMap* firstSeen, const ByteSink& write);

}  // namespace velmora
