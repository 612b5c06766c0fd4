#include "handler/message.h"

#include <boost/json/value_stack.hpp>
#include <new>
#include <string>
#include <utility>

#include "base/json.h"
#include "model/tab_list_reader.h"

namespace velmora {
namespace {

// The tree of the members is built the way the tree parser builds one, from
// the same events; only the events of "tabs" go to the tab reader instead.
class MessageReader final : public JsonEvents {
 public:
  std::optional<Message> take() {
    if (!isObject_) return std::nullopt;
    Message message;
    message.members = std::move(members_);
    message.tabsAreObjects = hasTabs_ && tabs_.isArrayOfObjects();
    if (hasTabs_) message.tabs = tabs_.take();
    return message;
  }

  void expectTextBytes(std::size_t bytes) { tabs_.expectTextBytes(bytes); }

  void reset() override {
    depth_ = 0;
    isObject_ = false;
    key_.clear();
    topMembers_ = 0;
    hasTabs_ = false;
    inTabs_ = false;
    tabs_.reset();
    members_ = {};
    tree_.reset();
  }

  void objectBegin() override {
    if (inTabs_) return tabs_.objectBegin(), leaveTabsWhenDone();
    if (depth_++ == 0) isObject_ = true;
  }
  void objectEnd(std::size_t size) override {
    if (inTabs_) return tabs_.objectEnd(size), leaveTabsWhenDone();
    if (--depth_ == 0) {
      if (!isObject_) return;
      tree_.push_object(topMembers_);
      members_ = std::move(tree_.release().get_object());
    } else if (isObject_) {
      tree_.push_object(size);
    }
  }
  void arrayBegin() override {
    if (inTabs_) return tabs_.arrayBegin(), leaveTabsWhenDone();
    ++depth_;
  }
  void arrayEnd(std::size_t size) override {
    if (inTabs_) return tabs_.arrayEnd(size), leaveTabsWhenDone();
    --depth_;
    if (isObject_) tree_.push_array(size);
  }

  void keyPart(std::string_view piece, bool last) override {
    if (inTabs_) return tabs_.keyPart(piece, last), leaveTabsWhenDone();
    if (!isObject_) return;
    if (depth_ > 1) return last ? tree_.push_key(piece) : tree_.push_chars(piece);
    // A member's name is known only when whole.
    key_.append(piece);
    if (!last) return;
    if (key_ == "tabs") {
      // Each "tabs" starts over: the last one counts.
      hasTabs_ = true;
      inTabs_ = true;
      tabs_.reset();
    } else {
      tree_.push_key(key_);
      ++topMembers_;
    }
    key_.clear();
  }

  void stringPart(std::string_view piece, bool last) override {
    if (inTabs_) return tabs_.stringPart(piece, last), leaveTabsWhenDone();
    if (isObject_) last ? tree_.push_string(piece) : tree_.push_chars(piece);
  }
  void int64Value(std::int64_t value) override {
    if (inTabs_) return tabs_.int64Value(value), leaveTabsWhenDone();
    if (isObject_) tree_.push_int64(value);
  }
  void uint64Value(std::uint64_t value) override {
    if (inTabs_) return tabs_.uint64Value(value), leaveTabsWhenDone();
    if (isObject_) tree_.push_uint64(value);
  }
  void doubleValue(double value) override {
    if (inTabs_) return tabs_.doubleValue(value), leaveTabsWhenDone();
    if (isObject_) tree_.push_double(value);
  }
  void boolValue(bool value) override {
    if (inTabs_) return tabs_.boolValue(value), leaveTabsWhenDone();
    if (isObject_) tree_.push_bool(value);
  }
  void nullValue() override {
    if (inTabs_) return tabs_.nullValue(), leaveTabsWhenDone();
    if (isObject_) tree_.push_null();
  }

 private:
  void leaveTabsWhenDone() {
    if (tabs_.done()) inTabs_ = false;
  }

  int depth_ = 0;
  bool isObject_ = false;
  std::string key_;
  std::size_t topMembers_ = 0;
  bool hasTabs_ = false;
  bool inTabs_ = false;
  TabListReader tabs_;
  boost::json::object members_;
  boost::json::value_stack tree_;
};

// Reads the message with `read`, which hands the reader the text's events.
template <class Read>
std::optional<Message> readWith(std::size_t bytes, const Read& read) {
  try {
    MessageReader reader;
    reader.expectTextBytes(bytes);
    if (read(reader)) return std::nullopt;
    return reader.take();
  } catch (const std::bad_alloc&) {
    // Short of memory outside "tabs": the envelope cannot be unpacked.
    return std::nullopt;
  }
}

}  // namespace

std::optional<Message> readMessage(std::string_view text) {
  return readWith(text.size(), [text](JsonEvents& reader) { return readJson(text, reader); });
}

std::optional<Message> readMessage(const TextSource& text, std::size_t bytes) {
  return readWith(bytes, [&text](JsonEvents& reader) { return readJson(text, reader); });
}

}  // namespace velmora
