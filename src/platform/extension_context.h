#pragma once

#include <boost/json/object.hpp>
#include <cstddef>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "base/text_source.h"

// The smallest host a request needs: a list of input items in, one list of
// reply items out, delivered once. The handler sees only these, so it can be
// driven the same way by the host loop and by tests.
namespace velmora {

// Key of the reply in the outgoing item's userInfo.
inline constexpr char SFExtensionMessageKey[] = "message";

// One item of a request or of its reply.
struct NSExtensionItem {
  // The reply's dictionary.
  std::optional<boost::json::object> userInfo;
  // How the host loop hands on a message: its JSON text as it arrives, read
  // once, which the handler reads straight into what it needs (the tabs into
  // records) without the text or a tree of the whole message in between; and
  // its length. Absent for a frame too long to be read.
  std::optional<TextSource> messageText;
  std::size_t messageBytes = 0;

  void setUserInfo(boost::json::object info) { userInfo = std::move(info); }
};

// A request: its input items and the place its reply goes.
class NSExtensionContext {
 public:
  using Completion = std::function<void(std::vector<NSExtensionItem>)>;

  NSExtensionContext(std::vector<NSExtensionItem> inputItems, Completion completion)
      : inputItems_(std::move(inputItems)), completion_(std::move(completion)) {}

  // A message's text is read from its item once, as it arrives.
  const std::vector<NSExtensionItem>& inputItems() const { return inputItems_; }

  // Hands the reply items to whoever made the request.
  void completeRequestReturningItems(std::vector<NSExtensionItem> items) {
    if (completion_) completion_(std::move(items));
  }

 private:
  std::vector<NSExtensionItem> inputItems_;
  Completion completion_;
};

}  // namespace velmora
