#pragma once

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>
#include <functional>
#include <string_view>

#include "platform/extension_context.h"
#include "platform/logger.h"

// Turning one request into one reply: the envelope, the dispatch on
// "action", and the delivery. The two actions are passed in, so the logic can
// be exercised without touching the disk or starting anything.
namespace velmora {

// Answer to an unusable envelope or an unrecognised message.
inline constexpr char kInvalidMessageText[] = "Ungültige Nachricht";
// Logged for an unrecognised message (never for an unusable envelope).
inline constexpr char kInvalidMessageLogText[] = "Ungültige Nachricht von Safari";

struct Actions {
  // Takes the command and the URL; returns the complete reply.
  std::function<boost::json::object(std::string_view command, std::string_view url)> command;
  // Takes the "tabs" array (every element an object) and the scan time;
  // returns the complete reply.
  std::function<boost::json::object(const boost::json::value& tabs, std::string_view scannedAt)>
      snapshot;
};

// {"ok": false, "error": "Ungültige Nachricht"}
boost::json::object invalidMessageReply();

// {"ok": false, "error": description}. Descriptions may carry bytes from
// outside (a path that is not UTF-8); those become U+FFFD, since a reply
// that is not UTF-8 is dropped by the browser.
boost::json::object failureReply(std::string_view description);

// The message dictionary of the request: the object under the message key in
// the first input item's userInfo. Null when the envelope is unusable.
const boost::json::object* messageOf(const NSExtensionContext& context);

// The reply to a message dictionary: one of the actions, or the invalid
// reply with its log line.
boost::json::object dispatch(const boost::json::object& message, const Actions& actions,
                             const Logger& log);

// The whole request: unpacks, dispatches and completes the context exactly
// once, whatever happens on the way.
void respond(NSExtensionContext& context, const Actions& actions, const Logger& log);

}  // namespace velmora
