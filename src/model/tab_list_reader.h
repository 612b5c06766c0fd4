#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/json.h"
#include "base/status.h"
#include "model/safari_tab.h"

namespace velmora {

// Reads a list of tab entries into records as the parser goes, without a
// tree: the reader of the enclosing document or message hands it the events
// of one value until done(). An entry is checked when it closes, its members
// in the fixed order id, windowId, title, url, pinned, active, snippet,
// summary, whatever their order in the text; a member given twice counts
// with its last value, as in a parsed tree. After the first failing entry no
// more records are made, and running out of memory fails the list as too
// large to read without ending the reading, so that the enclosing value
// still reads to its end.
class TabListReader final : public JsonEvents {
 public:
  // The fewest bytes of JSON text that make a record, with the comma before it.
  static constexpr std::size_t kLeastEntryBytes =
      std::string_view(R"({"id":0,"windowId":0,"title":"","url":"","pinned":true,"active":true},)")
          .size();

  // `name` names the list in error texts: tabs[1] lacks "url".
  explicit TabListReader(std::string name = "tabs") : name_(std::move(name)) {}

  // The list comes from a text of this many bytes, which bounds its records:
  // room for as many is made when it begins (memory that is never written to
  // costs nothing but addresses), so that the records are not moved again and
  // again as they come. A hint only.
  void expectTextBytes(std::size_t bytes) { expected_ = bytes / kLeastEntryBytes + 1; }

  // A value begins; what an earlier one left is dropped.
  void reset() override;
  void objectBegin() override;
  void objectEnd(std::size_t size) override;
  void arrayBegin() override;
  void arrayEnd(std::size_t size) override;
  void keyPart(std::string_view piece, bool last) override;
  void stringPart(std::string_view piece, bool last) override;
  void int64Value(std::int64_t value) override;
  void uint64Value(std::uint64_t value) override;
  void doubleValue(double value) override;
  void boolValue(bool value) override;
  void nullValue() override;

  // The value has ended.
  bool done() const { return done_; }
  // The value is an array whose every element is an object.
  bool isArrayOfObjects() const { return isArray_ && allObjects_; }
  // The records in list order, or the first entry's failure.
  Result<std::vector<SafariTab>> take();

 private:
  // What a member of the open entry held last.
  enum class Kind : unsigned char { absent, string, int64, uint64, double_, boolean, null, other };
  struct Slot {
    Kind kind = Kind::absent;
    std::int64_t int64 = 0;
    std::uint64_t uint64 = 0;
    double double_ = 0;
    bool boolean = false;
  };
  static constexpr int kMembers = 8;
  static constexpr int kNoMember = -1;

  // Where in the value the next event stands.
  bool atValue() const { return depth_ == 0; }
  bool atElement() const { return isArray_ && depth_ == 1; }
  bool atMember() const { return inEntry_ && depth_ == 2; }

  void containerBegin(bool object);
  void containerEnd();
  void scalar(Kind kind);
  void elementIsNotAnObject();
  void finishEntry();
  std::string* textOfMember();
  static std::optional<std::int64_t> wholeInt64(const Slot& slot);
  void fail(Error error);
  void failTooLarge();

  std::string name_;
  std::size_t expected_ = 0;
  int depth_ = 0;
  bool done_ = false;
  bool isArray_ = false;
  bool allObjects_ = true;
  std::size_t index_ = 0;
  std::optional<Error> error_;
  std::vector<SafariTab> tabs_;

  // The entry being read.
  bool inEntry_ = false;
  SafariTab tab_;
  std::array<Slot, kMembers> slots_;
  int member_ = kNoMember;
  std::string key_;
  bool keyTooLong_ = false;
  bool inString_ = false;
  std::string* text_ = nullptr;  // where the open string's pieces go
};

}  // namespace velmora
