#include "platform/host_loop.h"

#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <boost/json/serialize.hpp>
#include <exception>
#include <optional>
#include <utility>

namespace velmora {

std::vector<NSExtensionItem> inputItemsForFrame(IncomingFrame frame) {
  NSExtensionItem item;
  if (!frame.oversized) item.messageText = std::move(frame.bytes);
  // Not a braced list: that would copy the item, message and all.
  std::vector<NSExtensionItem> items;
  items.emplace_back(std::move(item));
  return items;
}

std::string replyBytes(const std::vector<NSExtensionItem>& items,
                       const NSExtensionRequestHandling& handler) {
  const boost::json::value* reply = nullptr;
  if (!items.empty() && items.front().userInfo) {
    reply = items.front().userInfo->if_contains(SFExtensionMessageKey);
  }
  if (reply == nullptr || !reply->is_object()) {
    return boost::json::serialize(handler.noReply());
  }
  std::string bytes = boost::json::serialize(*reply);
  if (bytes.size() <= kMaxReplyBytes) return bytes;

  return boost::json::serialize(handler.replyTooLarge(bytes.size()));
}

int serveMessages(int in, int out, const NSExtensionRequestHandling& handler) {
  for (;;) {
    auto frame = readFrame(in);
    if (!frame) return 1;
    if (!frame->has_value()) return 0;

    // Exactly one reply per message: the first completion counts.
    std::optional<std::string> reply;
    const bool large = (*frame)->bytes.size() >= kTrimAfterMessageBytes;
    {
      std::vector<NSExtensionItem> items = inputItemsForFrame(std::move(**frame));
      NSExtensionContext context(std::move(items),
                                 [&reply, &handler](std::vector<NSExtensionItem> items) {
                                   if (reply) return;
                                   try {
                                     reply = replyBytes(items, handler);
                                   } catch (const std::exception& e) {
                                     reply = boost::json::serialize(handler.replyFailed(e.what()));
                                   }
                                 });
      try {
        handler.beginRequest(context);
      } catch (...) {
        // The handler answers every request itself; should it ever throw,
        // the request is still answered below.
      }
    }
    if (!reply) reply = boost::json::serialize(handler.noReply());
    if (!writeFrame(out, *reply)) return 1;
    // What a large request freed stays in the allocator's free lists and
    // counts against the process until it is handed back.
    if (large) ::malloc_trim(0);
  }
}

int extensionMain(const NSExtensionRequestHandling& handler) {
  // A browser that went away must end the process through a failed write,
  // not a signal.
  ::signal(SIGPIPE, SIG_IGN);
  return serveMessages(STDIN_FILENO, STDOUT_FILENO, handler);
}

}  // namespace velmora
