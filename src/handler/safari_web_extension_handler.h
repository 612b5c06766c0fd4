#pragma once

#include <boost/json/object.hpp>
#include <string_view>

#include "platform/extension_context.h"
#include "platform/host_loop.h"
#include "platform/logger.h"
#include "platform/env.h"
#include "storage/known_document.h"
#include "storage/options.h"

namespace velmora {

inline constexpr char kLogSubsystem[] = "local.velmora";
inline constexpr char kLogCategory[] = "extension";

// Answers the extension's messages, one request at a time or several at
// once. It holds the world it stores in and its logger, which no request
// changes, and the one state carried from request to request: what it knows
// of the last snapshot document a save read or wrote (bounded, locked, keyed
// by the file's identity), which makes the saves of a long-lived host cheap.
// One instance serves any number of requests, for the life of the process.
class SafariWebExtensionHandler final : public NSExtensionRequestHandling {
 public:
  // Logs to stderr; stores in, and launches through, the world it is given.
  explicit SafariWebExtensionHandler(Env& env);
  // Logs to the sink.
  SafariWebExtensionHandler(Env& env, Logger::Sink sink);
  SafariWebExtensionHandler(const SafariWebExtensionHandler&) = delete;
  SafariWebExtensionHandler& operator=(const SafariWebExtensionHandler&) = delete;

  // Answers the request: its context is completed exactly once before this
  // returns. Never throws. A save may change what the handler knows.
  void beginRequest(NSExtensionContext& context) override;

  // The replies the host loop sends when the handler's own cannot go out.
  boost::json::object noReply() const override;
  boost::json::object replyTooLarge(std::size_t bytes) const override;
  boost::json::object replyFailed(std::string_view description) const override;
  void inputFailed(std::string_view why) const override;

  const Logger& log() const { return log_; }

 private:
  boost::json::object handle(std::string_view command, std::string_view url) const;

  Env& env_;
  Logger log_;
  VelmoraStorage::KnownDocument knownDocument_;
};

}  // namespace velmora
