#pragma once

#include <boost/json/object.hpp>
#include <string_view>

#include "platform/extension_context.h"
#include "platform/logger.h"

namespace velmora {

inline constexpr char kLogSubsystem[] = "local.velmora";
inline constexpr char kLogCategory[] = "extension";

// Answers the extension's messages, one request at a time or several at
// once. Its only state is its logger, so one instance serves any number of
// requests.
class SafariWebExtensionHandler {
 public:
  // Logs to stderr.
  SafariWebExtensionHandler();
  // Logs to the sink instead.
  explicit SafariWebExtensionHandler(Logger::Sink sink);

  // Answers the request: its context is completed exactly once before this
  // returns. Never throws.
  void beginRequest(NSExtensionContext& context) const;

  const Logger& log() const { return log_; }

 private:
  boost::json::object handle(std::string_view command, std::string_view url) const;

  Logger log_;
};

}  // namespace velmora
