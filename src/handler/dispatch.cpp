#include "handler/dispatch.h"

#include <boost/json/serialize.hpp>
#include <exception>
#include <utility>
#include <vector>

#include "handler/replies.h"
#include "platform/os_error.h"

namespace velmora {
namespace {

// The string under the key, if there is one.
const boost::json::string* stringAt(const boost::json::object& message, std::string_view key) {
  const boost::json::value* value = message.if_contains(key);
  return value ? value->if_string() : nullptr;
}

void deliver(NSExtensionContext& context, boost::json::object reply) {
  NSExtensionItem item;
  item.setUserInfo(boost::json::object{{SFExtensionMessageKey, std::move(reply)}});
  std::vector<NSExtensionItem> items;
  items.push_back(std::move(item));
  context.completeRequestReturningItems(std::move(items));
}

}  // namespace

std::optional<Message> takeMessage(const NSExtensionContext& context) {
  const std::vector<NSExtensionItem>& items = context.inputItems();
  if (items.empty() || !items.front().messageText) return std::nullopt;
  return readMessage(*items.front().messageText, items.front().messageBytes);
}

boost::json::object dispatch(Message message, const Actions& actions, const Logger& log) {
  const boost::json::object& members = message.members;
  const boost::json::string* action = stringAt(members, "action");
  if (action != nullptr && *action == "command") {
    if (const boost::json::string* command = stringAt(members, "command")) {
      const boost::json::string* url = stringAt(members, "url");
      return actions.command(*command, url ? std::string_view(*url) : std::string_view());
    }
  }
  if (action != nullptr && *action == "saveSnapshot") {
    const boost::json::string* scannedAt = stringAt(members, "scannedAt");
    if (message.tabsAreObjects && scannedAt != nullptr) {
      return actions.snapshot(std::move(message.tabs), *scannedAt);
    }
  }
  log.error(replies::kInvalidMessageLog);
  return replies::invalidMessage();
}

void respond(NSExtensionContext& context, const Actions& actions, const Logger& log) {
  boost::json::object reply;
  try {
    std::optional<Message> message = takeMessage(context);
    reply = message ? dispatch(std::move(*message), actions, log) : replies::invalidMessage();
  } catch (const std::exception& e) {
    // Last resort: the actions report their failures as values, but a
    // library may still throw (out of memory, for one).
    reply = replies::failure(thrownError("cannot answer the message", e).description);
  } catch (...) {
    reply = replies::failure(replies::kUnknownError);
  }
  deliver(context, std::move(reply));
}

}  // namespace velmora
