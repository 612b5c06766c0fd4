#include "model/tab_list_reader.h"

#include <cmath>
#include <exception>
#include <limits>
#include <new>
#include <utility>

#include "base/decode_error.h"

namespace velmora {
namespace {

// The members of a tab entry, in the order they are checked.
enum Member : int { kId, kWindowId, kTitle, kUrl, kPinned, kActive, kSnippet, kSummary };
constexpr std::string_view kMemberNames[] = {"id",     "windowId", "title",   "url",
                                             "pinned", "active",   "snippet", "summary"};
constexpr std::size_t kLongestMemberName = 8;

// Every key of every entry comes here: the length picks the one or two
// names it can be, compared with fixed lengths.
int memberNamed(std::string_view key) {
  const auto is = [key](Member m) { return key == kMemberNames[m]; };
  switch (key.size()) {
    case 2:
      return is(kId) ? kId : -1;
    case 3:
      return is(kUrl) ? kUrl : -1;
    case 5:
      return is(kTitle) ? kTitle : -1;
    case 6:
      return is(kPinned) ? kPinned : is(kActive) ? kActive : -1;
    case 7:
      return is(kSnippet) ? kSnippet : is(kSummary) ? kSummary : -1;
    case 8:
      return is(kWindowId) ? kWindowId : -1;
    default:
      return -1;
  }
}

constexpr std::string_view kNotWhole = "a whole number in the 64-bit range";

}  // namespace

void TabListReader::reset() {
  depth_ = 0;
  done_ = false;
  isArray_ = false;
  allObjects_ = true;
  index_ = 0;
  error_.reset();
  std::vector<SafariTab>().swap(tabs_);
  inEntry_ = false;
  tab_ = SafariTab();
  member_ = kNoMember;
  key_.clear();
  keyTooLong_ = false;
  inString_ = false;
  text_ = nullptr;
}

void TabListReader::fail(Error error) {
  error_ = std::move(error);
  // No record is needed any more: give their memory back now.
  std::vector<SafariTab>().swap(tabs_);
  tab_ = SafariTab();
}

void TabListReader::failTooLarge() {
  std::vector<SafariTab>().swap(tabs_);
  tab_ = SafariTab();
  inEntry_ = false;
  fail(tooLargeToRead(name_));
}

void TabListReader::elementIsNotAnObject() {
  allObjects_ = false;
  if (error_) return;
  try {
    fail(valueIsNot(elementName(name_, index_), "an object"));
  } catch (const std::bad_alloc&) {
    failTooLarge();
  }
}

void TabListReader::containerBegin(bool object) {
  if (atValue()) {
    // An object in place of the list is skipped to its end.
    isArray_ = !object;
    depth_ = 1;
    try {
      if (isArray_) tabs_.reserve(expected_);
    } catch (const std::exception&) {
      // Then the list grows as it comes.
    }
    return;
  }
  if (atElement()) {
    if (!object) {
      elementIsNotAnObject();
    } else if (!error_) {
      inEntry_ = true;
      slots_ = {};
      member_ = kNoMember;
    }
  } else if (atMember() && member_ != kNoMember) {
    slots_[member_] = Slot{Kind::other};
  }
  ++depth_;
}

void TabListReader::containerEnd() {
  --depth_;
  if (depth_ == 0) {
    done_ = true;
  } else if (atElement()) {
    if (inEntry_) finishEntry();
    inEntry_ = false;
    ++index_;
  }
}

void TabListReader::objectBegin() { containerBegin(true); }
void TabListReader::objectEnd(std::size_t) { containerEnd(); }
void TabListReader::arrayBegin() { containerBegin(false); }
void TabListReader::arrayEnd(std::size_t) { containerEnd(); }

void TabListReader::keyPart(std::string_view piece, bool last) {
  if (!atMember()) return;
  // Nearly always a name comes whole, and is matched where it stands.
  if (last && key_.empty() && !keyTooLong_) {
    member_ = memberNamed(piece);
    return;
  }
  // No member name is longer than a few bytes; a longer key is none of them.
  if (!keyTooLong_) {
    if (key_.size() + piece.size() <= kLongestMemberName) {
      key_.append(piece);
    } else {
      keyTooLong_ = true;
    }
  }
  if (!last) return;
  member_ = keyTooLong_ ? kNoMember : memberNamed(key_);
  key_.clear();
  keyTooLong_ = false;
}

std::string* TabListReader::textOfMember() {
  switch (member_) {
    case kTitle:
      return &tab_.title;
    case kUrl:
      return &tab_.url;
    case kSnippet:
      return &tab_.snippet.emplace();
    case kSummary:
      return &tab_.summary.emplace();
    default:
      return nullptr;
  }
}

void TabListReader::stringPart(std::string_view piece, bool last) {
  if (atMember() && member_ != kNoMember) {
    try {
      // A member given again starts its text anew: the last one counts.
      if (!inString_) {
        slots_[member_] = Slot{Kind::string};
        text_ = textOfMember();
        if (text_ != nullptr) text_->clear();
      }
      if (text_ != nullptr) text_->append(piece);
    } catch (const std::bad_alloc&) {
      text_ = nullptr;
      failTooLarge();
    }
  }
  inString_ = !last;
  if (last) {
    text_ = nullptr;
    scalar(Kind::string);
  }
}

void TabListReader::scalar(Kind kind) {
  if (atValue()) {
    done_ = true;
  } else if (atElement()) {
    elementIsNotAnObject();
    ++index_;
  } else if (atMember() && member_ != kNoMember && kind != Kind::string) {
    slots_[member_].kind = kind;
  }
}

void TabListReader::int64Value(std::int64_t value) {
  if (atMember() && member_ != kNoMember) slots_[member_].int64 = value;
  scalar(Kind::int64);
}

void TabListReader::uint64Value(std::uint64_t value) {
  if (atMember() && member_ != kNoMember) slots_[member_].uint64 = value;
  scalar(Kind::uint64);
}

void TabListReader::doubleValue(double value) {
  if (atMember() && member_ != kNoMember) slots_[member_].double_ = value;
  scalar(Kind::double_);
}

void TabListReader::boolValue(bool value) {
  if (atMember() && member_ != kNoMember) slots_[member_].boolean = value;
  scalar(Kind::boolean);
}

void TabListReader::nullValue() { scalar(Kind::null); }

// A whole number within the signed 64-bit range, whatever form the number
// took in the text: 3, 3.0 and 3e2 all qualify, 1.5 and 2^63 do not. The
// parser keeps integer texts exact (int64, or uint64 above its range) and
// turns everything else into a double.
std::optional<std::int64_t> TabListReader::wholeInt64(const Slot& slot) {
  switch (slot.kind) {
    case Kind::int64:
      return slot.int64;
    case Kind::uint64:
      if (slot.uint64 > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return std::nullopt;
      }
      return static_cast<std::int64_t>(slot.uint64);
    case Kind::double_: {
      const double d = slot.double_;
      // Both bounds are excluded. 2^63 is the first value above the range;
      // -2^63 is its minimum, but as a double it is nearly always an integer
      // text just below the range that the parser rounded (the minimum
      // written as an integer stays an exact int64).
      constexpr double kLimit = 9223372036854775808.0;
      if (!std::isfinite(d) || d != std::trunc(d) || d <= -kLimit || d >= kLimit) {
        return std::nullopt;
      }
      return static_cast<std::int64_t>(d);
    }
    default:
      return std::nullopt;
  }
}

void TabListReader::finishEntry() {
  try {
    // Named only when something fails: most entries never need the name.
    const auto where = [this] { return elementName(name_, index_); };
    for (int m : {kId, kWindowId}) {
      if (slots_[m].kind == Kind::absent) return fail(lacksMember(where(), kMemberNames[m]));
      const std::optional<std::int64_t> number = wholeInt64(slots_[m]);
      if (!number) return fail(memberIsNot(where(), kMemberNames[m], kNotWhole));
      (m == kId ? tab_.id : tab_.windowId) = *number;
    }
    for (int m : {kTitle, kUrl}) {
      if (slots_[m].kind == Kind::absent) return fail(lacksMember(where(), kMemberNames[m]));
      if (slots_[m].kind != Kind::string)
        return fail(memberIsNot(where(), kMemberNames[m], "a string"));
    }
    for (int m : {kPinned, kActive}) {
      if (slots_[m].kind == Kind::absent) return fail(lacksMember(where(), kMemberNames[m]));
      if (slots_[m].kind != Kind::boolean) {
        return fail(memberIsNot(where(), kMemberNames[m], "true or false"));
      }
      (m == kPinned ? tab_.pinned : tab_.active) = slots_[m].boolean;
    }
    // Missing and null both give absent; a string, also "", gives present.
    for (int m : {kSnippet, kSummary}) {
      std::optional<std::string>& text = m == kSnippet ? tab_.snippet : tab_.summary;
      const Kind kind = slots_[m].kind;
      if (kind == Kind::absent || kind == Kind::null) {
        text.reset();
      } else if (kind != Kind::string) {
        return fail(memberIsNot(where(), kMemberNames[m], "a string or null"));
      }
    }
    tabs_.push_back(std::move(tab_));
    tab_ = SafariTab();
  } catch (const std::bad_alloc&) {
    failTooLarge();
  }
}

Result<std::vector<SafariTab>> TabListReader::take() {
  if (!isArray_) return valueIsNot(name_, "an array");
  if (error_) return *error_;
  return std::move(tabs_);
}

}  // namespace velmora
