#include "platform/host_loop.h"

#include <malloc.h>

#include <boost/json/monotonic_resource.hpp>
#include <boost/json/serialize.hpp>
#include <exception>
#include <new>
#include <optional>
#include <utility>

#include "base/json.h"

namespace velmora {
namespace {

// The message is only read, and as a whole it is dropped when the request
// ends, so its tree lives in one arena sized from the text rather than in
// many small heap blocks that are each freed again.
std::optional<boost::json::value> parseMessage(const std::string& bytes) {
  boost::system::error_code ec;
  try {
    boost::json::storage_ptr arena =
        boost::json::make_shared_resource<boost::json::monotonic_resource>(bytes.size() * 2 + 1024);
    boost::json::value value = parseJson(bytes, ec, std::move(arena));
    if (ec) return std::nullopt;
    return value;
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

}  // namespace

std::vector<std::any> inputItemsForFrame(const IncomingFrame& frame) {
  NSExtensionItem item;
  if (!frame.oversized) {
    if (auto message = parseMessage(frame.bytes)) {
      // In the message's own arena, so that the message is moved in, not
      // copied.
      boost::json::object userInfo(message->storage());
      userInfo.emplace(SFExtensionMessageKey, std::move(*message));
      item.setUserInfo(std::move(userInfo));
    }
  }
  // Not a braced list: that would copy the item, message and all.
  std::vector<std::any> items;
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
      std::vector<std::any> items = inputItemsForFrame(**frame);
      // The decoded message is all that is needed; a large frame's bytes
      // need not stay in memory beside it.
      std::string().swap((*frame)->bytes);
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

}  // namespace velmora
