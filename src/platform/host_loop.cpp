#include "platform/host_loop.h"

#include <malloc.h>

#include <boost/json/serialize.hpp>
#include <exception>
#include <optional>
#include <string>
#include <utility>

namespace velmora {

namespace {

// One write, so that the line stays whole; a failure has nowhere to go.
void writeLine(int fd, std::string_view line) { (void)!::write(fd, line.data(), line.size()); }

}  // namespace

std::vector<std::any> inputItemsForFrame(IncomingFrame frame) {
  NSExtensionItem item;
  if (!frame.oversized) item.messageText = std::move(frame.bytes);
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
    if (!frame) {
      handler.inputFailed(frame.error().description);
      return 1;
    }
    if (!frame->has_value()) return 0;

    // Exactly one reply per message: the first completion counts.
    std::optional<std::string> reply;
    const bool large = (*frame)->bytes.size() >= kTrimAfterMessageBytes;
    {
      std::vector<std::any> items = inputItemsForFrame(std::move(**frame));
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

std::optional<int> startedByHand(int argc, const char* const* argv, std::string_view version) {
  if (argc == 2 && std::string_view(argv[1]) == "--version") {
    writeLine(STDOUT_FILENO, "velmora-extension " + std::string(version) + "\n");
    return 0;
  }
  if (::isatty(STDIN_FILENO) == 1) {
    writeLine(STDERR_FILENO,
              "velmora-extension: this is a native messaging host, which browsers start for the "
              "Velmora extension; it is not run by hand. `register --status` (installed beside "
              "it) shows where it is registered, doc/install.md how to set it up.\n");
    return 2;
  }
  return std::nullopt;
}

}  // namespace velmora
