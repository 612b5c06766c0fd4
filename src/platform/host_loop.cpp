#include "platform/host_loop.h"

#include <unistd.h>

#include <boost/json/serialize.hpp>
#include <cerrno>
#include <exception>
#include <optional>
#include <string>
#include <utility>

#include "platform/descriptor.h"
#include "platform/os_error.h"
#include "platform/system.h"

namespace velmora {

std::vector<NSExtensionItem> inputItemsForFrame(FrameBody& body) {
  NSExtensionItem item;
  if (!body.oversized()) {
    item.messageText = [&body](const ByteSink& piece) { return body.read(piece); };
    item.messageBytes = body.length();
  }
  // Not a braced list: that would copy the item.
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

namespace {

// The handler's answer to the message whose body is `body`: its reply, or
// none when it completed no request.
std::optional<std::string> answer(FrameBody& body, NSExtensionRequestHandling& handler) {
  // Exactly one reply per message: the first completion counts.
  std::optional<std::string> reply;
  NSExtensionContext context(
      inputItemsForFrame(body), [&reply, &handler](std::vector<NSExtensionItem> items) {
        if (reply) return;
        try {
          reply = replyBytes(items, handler);
        } catch (const std::exception& e) {
          const Error failed = thrownError("cannot send the reply", e);
          reply = boost::json::serialize(handler.replyFailed(failed.description));
        }
      });
  try {
    handler.beginRequest(context);
  } catch (...) {
    // The handler answers every request itself; should it ever throw, the
    // request is still answered by the caller.
  }
  return reply;
}

}  // namespace

int serveMessages(int in, int out, NSExtensionRequestHandling& handler) {
  bool trimWhenIdle = false;
  for (;;) {
    if (trimWhenIdle && !inputWithin(in, kTrimWhenIdleMilliseconds)) {
      releaseFreeMemory();
      trimWhenIdle = false;
    }
    auto header = readFrameHeader(in);
    if (!header) {
      handler.inputFailed(header.error().description);
      return 1;
    }
    if (!header->has_value()) return 0;

    FrameBody body(in, **header);
    std::optional<std::string> reply = answer(body, handler);
    // A message cut short was never whole: it goes unanswered, whatever the
    // handler made of the part it read.
    if (Status received = body.finish(); !received.ok()) {
      handler.inputFailed(received.error().description);
      return 1;
    }
    if (!reply) reply = boost::json::serialize(handler.noReply());
    if (!writeFrame(out, *reply)) return 1;
    // What a large request freed stays in the allocator's free lists and
    // counts against the process until it is handed back.
    trimWhenIdle = trimWhenIdle || body.length() >= kTrimAfterMessageBytes;
  }
}

std::optional<int> startedByHand(int argc, const char* const* argv, std::string_view version) {
  // Even the version line must reach a terminal byte for byte.
  prepareStandardStreams();
  if (argc == 2 && std::string_view(argv[1]) == "--version") {
    (void)writeAll(STDOUT_FILENO, "velmora-extension " + std::string(version) + "\n");
    return 0;
  }
  if (inputIsTerminal()) {
    (void)writeAll(
        STDERR_FILENO,
        "velmora-extension: this is a native messaging host, which browsers start for the "
        "Velmora extension; it is not run by hand. `register --status` (installed beside "
        "it) shows where it is registered, /usr/share/doc/velmora-extension/install.md how "
        "to set it up.\n");
    return 2;
  }
  return std::nullopt;
}

int extensionMain(NSExtensionRequestHandling& handler) {
  prepareStandardStreams();
  return serveMessages(STDIN_FILENO, STDOUT_FILENO, handler);
}

}  // namespace velmora
