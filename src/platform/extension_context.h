#pragma once

#include <any>
#include <boost/json/object.hpp>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// The smallest host a request needs: a list of input items in, one list of
// reply items out, delivered once. The handler sees only these, so it can be
// driven the same way by the host loop and by tests.
namespace velmora {

// Key of the message in an incoming item's userInfo and of the reply in the
// outgoing one.
inline constexpr char SFExtensionMessageKey[] = "message";

// One item of a request or of its reply. The userInfo may be absent.
struct NSExtensionItem {
  std::optional<boost::json::object> userInfo;
  // How the host loop hands on a message: its JSON text as it arrived, in
  // place of a dictionary under the message key, so that the handler reads
  // it straight into what it needs (the tabs into records) without a tree of
  // the whole message in between.
  std::optional<std::string> messageText;

  void setUserInfo(boost::json::object info) { userInfo = std::move(info); }
  friend bool operator==(const NSExtensionItem&, const NSExtensionItem&) = default;
};

// A request: its input items, which may be of any type (only an
// NSExtensionItem is usable), and the place its reply goes.
class NSExtensionContext {
 public:
  using Completion = std::function<void(std::vector<NSExtensionItem>)>;

  NSExtensionContext(std::vector<std::any> inputItems, Completion completion)
      : inputItems_(std::move(inputItems)), completion_(std::move(completion)) {}

  const std::vector<std::any>& inputItems() const { return inputItems_; }
  // The handler may take a message's text out of its item, so that a large
  // one need not stay in memory beside what was read from it.
  std::vector<std::any>& inputItems() { return inputItems_; }

  // Hands the reply items to whoever made the request.
  void completeRequestReturningItems(std::vector<NSExtensionItem> items) {
    if (completion_) completion_(std::move(items));
  }

 private:
  std::vector<std::any> inputItems_;
  Completion completion_;
};

}  // namespace velmora
