#include "platform/host_loop.h"

#include <boost/json/monotonic_resource.hpp>
#include <boost/json/serialize.hpp>
#include <exception>
#include <new>
#include <optional>
#include <utility>

#include "base/json.h"
#include "base/text.h"

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

boost::json::object failureReply(std::string text) {
  return boost::json::object{{"ok", false}, {"error", validUtf8(text)}};
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

std::string replyBytes(const std::vector<NSExtensionItem>& items, const Logger& log) {
  const boost::json::value* reply = nullptr;
  if (!items.empty() && items.front().userInfo) {
    reply = items.front().userInfo->if_contains(SFExtensionMessageKey);
  }
  if (reply == nullptr || !reply->is_object()) {
    return boost::json::serialize(failureReply("Keine Antwort erhalten"));
  }
  std::string bytes = boost::json::serialize(*reply);
  if (bytes.size() <= kMaxReplyBytes) return bytes;

  std::string text = "Antwort zu groß: ";
  text += std::to_string(bytes.size());
  text += " Bytes, höchstens ";
  text += std::to_string(kMaxReplyBytes);
  log.error(text);
  return boost::json::serialize(failureReply(std::move(text)));
}

int serveMessages(int in, int out, const RequestHandler& beginRequest, const Logger& log) {
  for (;;) {
    auto frame = readFrame(in);
    if (!frame) return 1;
    if (!frame->has_value()) return 0;

    // Exactly one reply per message: the first completion counts.
    std::optional<std::string> reply;
    {
      std::vector<std::any> items = inputItemsForFrame(**frame);
      // The decoded message is all that is needed; a large frame's bytes
      // need not stay in memory beside it.
      std::string().swap((*frame)->bytes);
      NSExtensionContext context(std::move(items),
                                 [&reply, &log](std::vector<NSExtensionItem> items) {
                                   if (reply) return;
                                   try {
                                     reply = replyBytes(items, log);
                                   } catch (const std::exception& e) {
                                     reply = boost::json::serialize(failureReply(e.what()));
                                   }
                                 });
      try {
        beginRequest(context);
      } catch (...) {
        // The handler answers every request itself; should it ever throw,
        // the request is still answered below.
      }
    }
    if (!reply) reply = boost::json::serialize(failureReply("Keine Antwort erhalten"));
    if (!writeFrame(out, *reply)) return 1;
  }
}

}  // namespace velmora
