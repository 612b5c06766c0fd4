#include "model/tab_snapshot.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <utility>

#include "base/decode_error.h"
#include "base/json.h"
#include "model/document_bytes.h"
#include "model/normalized_url.h"
#include "model/tab_list_reader.h"
#include "model/unicode_text.h"

namespace velmora {

namespace {

constexpr std::string_view kDocument = "the snapshot document";

// Reads a snapshot document into a record as the parser goes: the tabs
// straight into records, the first-seen map straight into the map. Checked
// when the document closes, in the fixed order scannedAt, tabs, firstSeen; a
// member given twice counts with its last value, as in a parsed tree. A
// first-seen map that gives a page twice was not written by this system (its
// keys are distinct by construction) and fails the document.
class SnapshotReader final : public JsonEvents {
 public:
  Result<TabSnapshot> take();

  void reset() override { *this = SnapshotReader(); }

  void objectBegin() override {
    if (intoTabs(&JsonEvents::objectBegin)) return;
    if (depth_ == 0) isObject_ = true;
    containerBegin(FirstSeen::object);
  }
  void objectEnd(std::size_t size) override {
    if (intoTabs(&JsonEvents::objectEnd, size)) return;
    end();
  }
  void arrayBegin() override {
    if (intoTabs(&JsonEvents::arrayBegin)) return;
    containerBegin(FirstSeen::other);
  }
  void arrayEnd(std::size_t size) override {
    if (intoTabs(&JsonEvents::arrayEnd, size)) return;
    end();
  }

  void keyPart(std::string_view piece, bool last) override {
    if (intoTabs(&JsonEvents::keyPart, piece, last)) return;
    if (depth_ == 1 && isObject_) {
      // Only three names matter here, none longer than nine bytes.
      if (key_.size() + piece.size() <= 9) {
        key_.append(piece);
      } else {
        key_ = "-";
      }
      if (!last) return;
      member_ = key_ == "scannedAt"   ? Member::scannedAt
                : key_ == "tabs"      ? Member::tabs
                : key_ == "firstSeen" ? Member::firstSeen
                                      : Member::other;
      key_.clear();
      if (member_ == Member::tabs) {
        // Each "tabs" starts over: the last one counts.
        hasTabs_ = true;
        tabs_.reset();
        inTabs_ = true;
      }
    } else if (inFirstSeenObject_ && depth_ == 2) {
      key_.append(piece);
      if (last) firstSeenKey();
    }
  }

  void stringPart(std::string_view piece, bool last) override {
    if (intoTabs(&JsonEvents::stringPart, piece, last)) return;
    if (atMember() && member_ == Member::scannedAt) {
      if (!inString_) scannedAtText_.clear();
      scannedAtText_.append(piece);
      scannedAt_ = Slot::string;
    } else if (atFirstSeen()) {
      beginFirstSeenValue(FirstSeen::other);
    } else if (atFirstSeenMember()) {
      if (!inString_) value_.clear();
      value_.append(piece);
      if (last && !map_.insert(std::move(pendingKey_), std::move(value_))) collision_ = true;
    }
    inString_ = !last;
  }

  void int64Value(std::int64_t value) override { scalar(&JsonEvents::int64Value, value); }
  void uint64Value(std::uint64_t value) override { scalar(&JsonEvents::uint64Value, value); }
  void doubleValue(double value) override { scalar(&JsonEvents::doubleValue, value); }
  void boolValue(bool value) override { scalar(&JsonEvents::boolValue, value); }
  void nullValue() override {
    if (intoTabs(&JsonEvents::nullValue)) return;
    if (atFirstSeen()) {
      beginFirstSeenValue(FirstSeen::absent);
    } else {
      otherScalar();
    }
  }

 private:
  enum class Member : unsigned char { none, scannedAt, tabs, firstSeen, other };
  enum class Slot : unsigned char { absent, string, other };
  enum class FirstSeen : unsigned char { absent, object, other };

  // An object or an array opens: as the value of firstSeen it is `kind`; as
  // that of scannedAt or of a first-seen member, not the string they need.
  void containerBegin(FirstSeen kind) {
    if (atFirstSeen()) beginFirstSeenValue(kind);
    if (atFirstSeenMember()) firstSeenValueIsNotAString();
    if (atMember() && member_ == Member::scannedAt) scannedAt_ = Slot::other;
    ++depth_;
  }
  bool atMember() const { return depth_ == 1 && isObject_ && !inTabs_; }
  bool atFirstSeen() const { return atMember() && member_ == Member::firstSeen; }
  bool atFirstSeenMember() const { return inFirstSeenObject_ && depth_ == 2; }

  // Hands the event to the tabs while their value lasts.
  template <class... Args, class... Given>
  bool intoTabs(void (JsonEvents::*event)(Args...), Given... given) {
    if (!inTabs_) return false;
    (tabs_.*event)(given...);
    if (tabs_.done()) inTabs_ = false;
    return true;
  }

  template <class Value>
  void scalar(void (JsonEvents::*event)(Value), Value value) {
    if (intoTabs(event, value)) return;
    otherScalar();
  }

  void end() {
    --depth_;
    // A member's value has closed: the first-seen object, if it was that.
    if (depth_ == 1) inFirstSeenObject_ = false;
  }

  void otherScalar() {
    if (atMember() && member_ == Member::scannedAt) scannedAt_ = Slot::other;
    if (atFirstSeen()) beginFirstSeenValue(FirstSeen::other);
    if (atFirstSeenMember()) firstSeenValueIsNotAString();
  }

  void beginFirstSeenValue(FirstSeen kind) {
    firstSeen_ = kind;
    map_ = FirstSeenMap();
    collision_ = false;
    firstNotAString_.reset();
    inFirstSeenObject_ = kind == FirstSeen::object;
  }

  void firstSeenKey() {
    pendingKey_ = std::move(key_);
    key_.clear();
  }

  void firstSeenValueIsNotAString() {
    if (!firstNotAString_) firstNotAString_ = pendingKey_;
    if (!map_.insert(std::move(pendingKey_), std::string())) collision_ = true;
  }

  int depth_ = 0;
  bool isObject_ = false;
  Member member_ = Member::none;
  std::string key_;
  bool inString_ = false;

  Slot scannedAt_ = Slot::absent;
  std::string scannedAtText_;

  bool hasTabs_ = false;
  bool inTabs_ = false;
  TabListReader tabs_;

  FirstSeen firstSeen_ = FirstSeen::absent;
  bool inFirstSeenObject_ = false;
  // Read straight into the map: the key waiting for its value, the value.
  FirstSeenMap map_;
  std::string pendingKey_;
  std::string value_;
  bool collision_ = false;
  std::optional<std::string> firstNotAString_;
};

Result<TabSnapshot> SnapshotReader::take() {
  if (!isObject_) return valueIsNot(kDocument, "a JSON object");
  TabSnapshot snapshot;
  if (scannedAt_ == Slot::absent) return lacksMember(kDocument, "scannedAt");
  if (scannedAt_ != Slot::string) return valueIsNot("scannedAt", "a string");
  snapshot.scannedAt = std::move(scannedAtText_);

  if (!hasTabs_) return lacksMember(kDocument, "tabs");
  auto tabs = tabs_.take();
  if (!tabs) return tabs.error();
  snapshot.tabs = std::move(*tabs);

  if (firstSeen_ == FirstSeen::other) return valueIsNot("firstSeen", "an object or null");
  if (firstSeen_ == FirstSeen::object) {
    if (collision_) return valueIsNot("firstSeen", "an object of distinct pages");
    if (firstNotAString_) {
      return valueIsNot("firstSeen member \"" + *firstNotAString_ + "\"", "a string");
    }
    snapshot.firstSeen = std::move(map_);
  }
  return snapshot;
}

}  // namespace

namespace {

// A text held whole, handed over in pieces like a file's.
TextSource inPieces(std::string_view text) {
  return [text](const std::function<bool(std::string_view)>& piece) {
    for (std::size_t at = 0; at < text.size(); at += kPieceBytes) {
      if (!piece(text.substr(at, kPieceBytes))) break;
    }
    return true;
  };
}

Result<TabSnapshot> decode(const TextSource& document) {
  try {
    SnapshotReader reader;
    if (const boost::system::error_code error = readJson(withPlainSlashes(document), reader)) {
      return Error{std::string(kDocument) + " is not valid JSON: " + error.message()};
    }
    return reader.take();
  } catch (const std::bad_alloc&) {
    return tooLargeToRead(kDocument);
  }
}

}  // namespace

Result<TabSnapshot> decodeSnapshot(std::string_view documentText) {
  return decode(inPieces(documentText));
}

Result<TabSnapshot> decodeSnapshot(const TextSource& document) { return decode(document); }

namespace {

// The one encoder of the document: into `out`, handing it to `flush` (which
// empties it) whenever it has grown past kPieceBytes, so that a caller may
// write the document out in pieces rather than hold it whole; once `flush`
// answers false (the write failed) nothing more is encoded. Members in the
// order scannedAt, tabs, firstSeen, and in each tab entry id, windowId,
// title, url, pinned, active, snippet, summary.

// The structure around the scan time, the tab entries and the map's entries.
constexpr std::string_view kScanTimeOpen = "{\"scannedAt\":";
constexpr std::string_view kTabsOpen = ",\"tabs\":[";
constexpr std::string_view kFirstSeenOpen = ",\"firstSeen\":{";

// The entry of the tab at `index` of the list, with the comma before it.
void encodeTab(DocumentWriter& writer, const SafariTab& tab, std::size_t index) {
  writer.raw(index > 0 ? ",{\"id\":" : "{\"id\":");
  writer.integer(tab.id);
  writer.raw(",\"windowId\":");
  writer.integer(tab.windowId);
  writer.raw(",\"title\":");
  writer.string(tab.title);
  writer.raw(",\"url\":");
  writer.string(tab.url);
  writer.raw(",\"pinned\":");
  writer.boolean(tab.pinned);
  writer.raw(",\"active\":");
  writer.boolean(tab.active);
  // An absent optional is left out, never written as null.
  if (tab.snippet) {
    writer.raw(",\"snippet\":");
    writer.string(*tab.snippet);
  }
  if (tab.summary) {
    writer.raw(",\"summary\":");
    writer.string(*tab.summary);
  }
  writer.raw("}");
}

// The tab entries, after the list's opening, and its close. False once
// `flush` has failed.
template <class Flush>
bool encodeTabs(DocumentWriter& writer, const std::vector<SafariTab>& tabs, const std::string& out,
                const Flush& flush) {
  for (std::size_t i = 0; i < tabs.size(); ++i) {
    encodeTab(writer, tabs[i], i);
    if (out.size() >= kPieceBytes && !flush()) return false;
  }
  writer.raw("]");
  return true;
}

// The first-seen member, whole. False once `flush` has failed.
template <class Flush>
bool encodeFirstSeen(DocumentWriter& writer, const FirstSeenMap& firstSeen, const std::string& out,
                     const Flush& flush) {
  // Keys are distinct, so they are written as they come.
  writer.raw(kFirstSeenOpen);
  bool first = true;
  for (const auto& [page, time] : firstSeen) {
    if (!first) writer.raw(",");
    first = false;
    writer.string(page);
    writer.raw(":");
    writer.string(time);
    if (out.size() >= kPieceBytes && !flush()) return false;
  }
  writer.raw("}");
  return true;
}

template <class Flush>
void encodeSnapshot(std::string_view scannedAt, const std::vector<SafariTab>& tabs,
                    const FirstSeenMap* firstSeen, std::string& out, const Flush& flush) {
  DocumentWriter writer(out);
  writer.raw(kScanTimeOpen);
  writer.string(scannedAt);
  writer.raw(kTabsOpen);
  if (!encodeTabs(writer, tabs, out, flush)) return;
  if (firstSeen && !encodeFirstSeen(writer, *firstSeen, out, flush)) return;
  writer.raw("}");
  flush();
}

}  // namespace

void writeSnapshotBytes(std::string_view scannedAt, const std::vector<SafariTab>& tabs,
                        const FirstSeenMap* firstSeen, const ByteSink& write) {
  std::string piece;
  piece.reserve(2 * kPieceBytes);
  encodeSnapshot(scannedAt, tabs, firstSeen, piece, [&] {
    const bool more = write(piece);
    piece.clear();
    return more;
  });
}

namespace {

// Longer than the head of any document this host writes, whose scan time
// names a history file.
constexpr std::size_t kMaxHeadBytes = 512;

// A byte that a JSON string holds as it stands, which its text then is.
bool isPlainAscii(char c) { return c >= 0x20 && c <= 0x7e && c != '"' && c != '\\'; }

// The pages of a list of tabs in the order they first appear, each once by
// canonical equivalence, one at a time. Only which tab showed each page
// first is kept; that page is worked out again should a later one have its
// hash.
class PagesInOrder {
 public:
  explicit PagesInOrder(const std::vector<SafariTab>& tabs)
      : tabs_(tabs), slots_(std::bit_ceil(std::max<std::size_t>(16, tabs.size() * 3 / 2))) {}

  // The next page, or null after the last.
  const std::string* next() {
    while (nextTab_ < tabs_.size()) {
      const std::size_t tab = nextTab_++;
      if (tabs_[tab].url.empty()) continue;  // no page
      normalizedURL(tabs_[tab].url, page_);
      if (isNew(tab)) return &page_;
    }
    return nullptr;
  }

 private:
  // Whether no earlier tab showed page_; if so, `tab` is noted as the first.
  bool isNew(std::size_t tab) {
    const auto hash = static_cast<std::uint32_t>(canonicalHash(page_));
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
      Slot& slot = slots_[at];
      if (slot.tabPlusOne == 0) {
        slot = {static_cast<std::uint32_t>(tab + 1), hash};
        return true;
      }
      if (slot.hash == hash &&
          canonicallyEqual(page_, normalizedURL(tabs_[slot.tabPlusOne - 1].url))) {
        return false;
      }
    }
  }

  struct Slot {
    std::uint32_t tabPlusOne = 0;  // 0: empty
    std::uint32_t hash = 0;
  };
  const std::vector<SafariTab>& tabs_;
  std::size_t nextTab_ = 0;
  std::string page_;
  std::vector<Slot> slots_;  // open addressing, at most two thirds full
};

// Follows a document as it is read, byte by byte against what
// isOwnDocumentFor describes. The bytes it must hold are made a few entries
// at a time, so that they are never held whole; the scan time and the map's
// times, which may be anything plain, are only looked at.
class OwnDocument {
 public:
  OwnDocument(const std::vector<SafariTab>& tabs, const std::function<bool(std::string_view)>& wanted)
      : tabs_(tabs), pages_(tabs), wanted_(wanted), writer_(expected_) {}

  // False as soon as the document differs.
  bool take(std::string_view piece) {
    while (!differs_ && !piece.empty()) {
      differs_ = !(stage_ == Stage::head     ? takeHead(piece)
                   : stage_ == Stage::expect ? follow(piece)
                                             : takeTime(piece));
    }
    return !differs_;
  }

  // The document ended where it should.
  bool ended() const {
    return !differs_ && stage_ == Stage::expect && phase_ == Phase::done &&
           at_ == expected_.size();
  }

 private:
  enum class Stage : unsigned char { head, expect, time };
  enum class Phase : unsigned char { tabs, pages, done };

  // Gathers the head, {"scannedAt":"TIME","tabs":[, and looks at TIME.
  bool takeHead(std::string_view& piece) {
    const std::size_t taken = std::min(piece.size(), kMaxHeadBytes - head_.size());
    head_.append(piece.substr(0, taken));
    piece.remove_prefix(taken);
    const std::size_t timeAt = kScanTimeOpen.size() + 1;
    if (head_.size() < timeAt) return true;
    if (!head_.starts_with(kScanTimeOpen) || head_[timeAt - 1] != '"') return false;
    const std::size_t quote = head_.find('"', timeAt);
    if (quote == std::string::npos || head_.size() < quote + 1 + kTabsOpen.size()) {
      return head_.size() < kMaxHeadBytes;
    }
    const std::string_view time = std::string_view(head_).substr(timeAt, quote - timeAt);
    if (!std::all_of(time.begin(), time.end(), isPlainAscii) ||
        head_.compare(quote + 1, kTabsOpen.size(), kTabsOpen) != 0 || !wanted_(time)) {
      return false;
    }
    stage_ = Stage::expect;
    // What the head was gathered with goes on with the entries.
    const std::string after = head_.substr(quote + 1 + kTabsOpen.size());
    return take(after);
  }

  bool follow(std::string_view& piece) {
    if (at_ == expected_.size()) {
      if (timeNext_) {
        timeNext_ = false;
        stage_ = Stage::time;
        return true;
      }
      if (!expectMore()) return false;  // the document goes on past its end
    }
    const std::size_t n = std::min(piece.size(), expected_.size() - at_);
    if (std::memcmp(piece.data(), expected_.data() + at_, n) != 0) return false;
    at_ += n;
    piece.remove_prefix(n);
    return true;
  }

  // A first-seen time: a string of plain bytes.
  bool takeTime(std::string_view& piece) {
    std::size_t at = 0;
    if (!inTime_) {
      if (piece.front() != '"') return false;
      inTime_ = true;
      at = 1;
    }
    for (; at < piece.size(); ++at) {
      if (piece[at] == '"') {
        inTime_ = false;
        stage_ = Stage::expect;
        piece.remove_prefix(at + 1);
        return true;
      }
      if (!isPlainAscii(piece[at])) return false;
    }
    piece.remove_prefix(at);
    return true;
  }

  // The next bytes the document must hold: some tab entries, or the next
  // page's name in the map, or its end. False once it must have ended.
  bool expectMore() {
    expected_.clear();
    at_ = 0;
    switch (phase_) {
      case Phase::tabs:
        for (; nextTab_ < tabs_.size() && expected_.size() < kPieceBytes; ++nextTab_) {
          encodeTab(writer_, tabs_[nextTab_], nextTab_);
        }
        if (nextTab_ == tabs_.size()) {
          writer_.raw("]");
          writer_.raw(kFirstSeenOpen);
          phase_ = Phase::pages;
        }
        return true;
      case Phase::pages:
        if (const std::string* page = pages_.next()) {
          if (pagesNamed_++ > 0) writer_.raw(",");
          writer_.string(*page);
          writer_.raw(":");
          timeNext_ = true;
        } else {
          writer_.raw("}}");
          phase_ = Phase::done;
        }
        return true;
      case Phase::done:
        return false;
    }
    return false;
  }

  const std::vector<SafariTab>& tabs_;
  PagesInOrder pages_;
  const std::function<bool(std::string_view)>& wanted_;
  Stage stage_ = Stage::head;
  std::string head_;
  Phase phase_ = Phase::tabs;
  std::size_t nextTab_ = 0;
  std::size_t pagesNamed_ = 0;
  std::string expected_;  // the bytes to follow, from at_ on
  std::size_t at_ = 0;
  DocumentWriter writer_;  // into expected_
  bool timeNext_ = false;  // a first-seen time follows expected_
  bool inTime_ = false;
  bool differs_ = false;
};

}  // namespace

bool isOwnDocumentFor(const TextSource& document, const std::vector<SafariTab>& tabs,
                      const std::function<bool(std::string_view scannedAt)>& wanted) {
  try {
    OwnDocument own(tabs, wanted);
    return document([&own](std::string_view piece) { return own.take(piece); }) && own.ended();
  } catch (const std::exception&) {
    // Short of memory: decoding the document will tell.
    return false;
  }
}

}  // namespace velmora
