#include "handler/dispatch.h"

#include <exception>
#include <utility>
#include <vector>

#include "base/text.h"

namespace velmora {
namespace {

// The string under the key, if there is one.
const boost::json::string* stringAt(const boost::json::object& message, std::string_view key) {
  const boost::json::value* value = message.if_contains(key);
  return value ? value->if_string() : nullptr;
}

bool isArrayOfObjects(const boost::json::value* value) {
  if (value == nullptr || !value->is_array()) return false;
  for (const boost::json::value& element : value->get_array()) {
    if (!element.is_object()) return false;
  }
  return true;
}

void deliver(NSExtensionContext& context, boost::json::object reply) {
  NSExtensionItem item;
  item.setUserInfo(boost::json::object{{SFExtensionMessageKey, std::move(reply)}});
  std::vector<NSExtensionItem> items;
  items.push_back(std::move(item));
  context.completeRequestReturningItems(std::move(items));
}

}  // namespace

boost::json::object invalidMessageReply() {
  return boost::json::object{{"ok", false}, {"error", kInvalidMessageText}};
}

boost::json::object failureReply(std::string_view description) {
  return boost::json::object{{"ok", false}, {"error", validUtf8(description)}};
}

const boost::json::object* messageOf(const NSExtensionContext& context) {
  const auto& items = context.inputItems();
  if (items.empty()) return nullptr;
  const auto* item = std::any_cast<NSExtensionItem>(&items.front());
  if (item == nullptr || !item->userInfo) return nullptr;
  const boost::json::value* entry = item->userInfo->if_contains(SFExtensionMessageKey);
  return entry ? entry->if_object() : nullptr;
}

boost::json::object dispatch(const boost::json::object& message, const Actions& actions,
                             const Logger& log) {
  const boost::json::string* action = stringAt(message, "action");
  if (action != nullptr && *action == "command") {
    if (const boost::json::string* command = stringAt(message, "command")) {
      const boost::json::string* url = stringAt(message, "url");
      return actions.command(*command, url ? std::string_view(*url) : std::string_view());
    }
  }
  if (action != nullptr && *action == "saveSnapshot") {
    const boost::json::value* tabs = message.if_contains("tabs");
    const boost::json::string* scannedAt = stringAt(message, "scannedAt");
    if (isArrayOfObjects(tabs) && scannedAt != nullptr) return actions.snapshot(*tabs, *scannedAt);
  }
  log.error(kInvalidMessageLogText);
  return invalidMessageReply();
}

void respond(NSExtensionContext& context, const Actions& actions, const Logger& log) {
  boost::json::object reply;
  try {
    const boost::json::object* message = messageOf(context);
    reply = message ? dispatch(*message, actions, log) : invalidMessageReply();
  } catch (const std::exception& e) {
    // Last resort: the actions report their failures as values, but a
    // library may still throw (out of memory, for one).
    reply = failureReply(e.what());
  } catch (...) {
    reply = failureReply("Unbekannter Fehler");
  }
  deliver(context, std::move(reply));
}

}  // namespace velmora
