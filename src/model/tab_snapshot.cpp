#include "model/tab_snapshot.h"

#include <new>
#include <optional>
#include <utility>

#include "base/decode_error.h"
#include "base/json.h"
#include "model/document_bytes.h"
#include "model/tab_list_reader.h"

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

template <class Flush>
void encodeSnapshot(std::string_view scannedAt, const std::vector<SafariTab>& tabs,
                    const FirstSeenMap* firstSeen, std::string& out, const Flush& flush) {
  DocumentWriter writer(out);
  writer.raw("{\"scannedAt\":");
  writer.string(scannedAt);
  writer.raw(",\"tabs\":[");
  for (std::size_t i = 0; i < tabs.size(); ++i) {
    const SafariTab& tab = tabs[i];
    writer.raw(i > 0 ? ",{\"id\":" : "{\"id\":");
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
    if (out.size() >= kPieceBytes && !flush()) return;
  }
  writer.raw("]");
  if (firstSeen) {
    // Keys are distinct, so they are written as they come.
    writer.raw(",\"firstSeen\":{");
    bool first = true;
    for (const auto& [page, time] : *firstSeen) {
      if (!first) writer.raw(",");
      first = false;
      writer.string(page);
      writer.raw(":");
      writer.string(time);
      if (out.size() >= kPieceBytes && !flush()) return;
    }
    writer.raw("}");
  }
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

}  // namespace velmora
