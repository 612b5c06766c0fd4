#include "handler/safari_web_extension_handler.h"

#include <utility>

#include "handler/command_action.h"
#include "handler/dispatch.h"
#include "handler/snapshot_action.h"

namespace velmora {

SafariWebExtensionHandler::SafariWebExtensionHandler() : log_(kLogSubsystem, kLogCategory) {}

SafariWebExtensionHandler::SafariWebExtensionHandler(Logger::Sink sink,
                                                     VelmoraStorage::Options storage)
    : log_(kLogSubsystem, kLogCategory, std::move(sink)), storage_(storage) {}

void SafariWebExtensionHandler::beginRequest(NSExtensionContext& context) const {
  const Actions actions{
      [this](std::string_view command, std::string_view url) { return handle(command, url); },
      [this](const boost::json::value& tabs, std::string_view scannedAt) {
        return snapshotReply(tabs, scannedAt, log_, storage_);
      }};
  respond(context, actions, log_);
}

boost::json::object SafariWebExtensionHandler::handle(std::string_view command,
                                                      std::string_view url) const {
  return commandReply(command, url, log_, openContainingApp, storage_);
}

}  // namespace velmora
