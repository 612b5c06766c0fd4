#include "handler/safari_web_extension_handler.h"

#include <string>
#include <utility>

#include "handler/command_action.h"
#include "handler/dispatch.h"
#include "handler/replies.h"
#include "handler/snapshot_action.h"

namespace velmora {

SafariWebExtensionHandler::SafariWebExtensionHandler(Env& env)
    : env_(env), log_(kLogSubsystem, kLogCategory) {}

SafariWebExtensionHandler::SafariWebExtensionHandler(Env& env, Logger::Sink sink)
    : env_(env), log_(kLogSubsystem, kLogCategory, std::move(sink)) {}

void SafariWebExtensionHandler::beginRequest(NSExtensionContext& context) {
  const Actions actions{
      [this](std::string_view command, std::string_view url) { return handle(command, url); },
      [this](Result<std::vector<SafariTab>> tabs, std::string_view scannedAt) {
        return snapshotReply(std::move(tabs), scannedAt, log_,
                             VelmoraStorage::Options(env_, &knownDocument_));
      }};
  respond(context, actions, log_);
}

boost::json::object SafariWebExtensionHandler::noReply() const {
  return replies::failure(replies::kNoReply);
}

boost::json::object SafariWebExtensionHandler::replyTooLarge(std::size_t bytes) const {
  const std::string text = replies::tooLarge(bytes, kMaxReplyBytes);
  log_.error(text);
  return replies::failure(text);
}

boost::json::object SafariWebExtensionHandler::replyFailed(std::string_view description) const {
  return replies::failure(description);
}

void SafariWebExtensionHandler::inputFailed(std::string_view why) const {
  log_.error(replies::kInputFailedLog + std::string(why));
}

boost::json::object SafariWebExtensionHandler::handle(std::string_view command,
                                                      std::string_view url) const {
  return commandReply(
      command, url, log_, [this] { return openContainingApp(env_); },
      VelmoraStorage::Options(env_));
}

}  // namespace velmora
