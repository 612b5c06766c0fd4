#pragma once

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "base/status.h"
#include "handler/message.h"
#include "model/safari_tab.h"

#include "platform/extension_context.h"
#include "platform/logger.h"

// Turning one request into one reply: the envelope, the dispatch on
// "action", and the delivery. The two actions are passed in, so the logic can
// be exercised without touching the disk or starting anything.
namespace velmora {

struct Actions {
  // Takes the command and the URL; returns the complete reply.
  std::function<boost::json::object(std::string_view command, std::string_view url)> command;
  // Takes the records of the "tabs" array (every element an object), or its
  // first entry's failure, and the scan time; returns the complete reply.
  std::function<boost::json::object(Result<std::vector<SafariTab>> tabs,
                                    std::string_view scannedAt)>
      snapshot;
};

// The message dictionary of the request, read from the message text of the
// first input item as it arrives. Nothing when the envelope is unusable.
std::optional<Message> takeMessage(const NSExtensionContext& context);

// The reply to a message dictionary: one of the actions, or the invalid
// reply with its log line.
boost::json::object dispatch(Message message, const Actions& actions, const Logger& log);

// The whole request: unpacks, dispatches and completes the context exactly
// once, whatever happens on the way.
void respond(NSExtensionContext& context, const Actions& actions, const Logger& log);

}  // namespace velmora
