#pragma once

#include <boost/json/object.hpp>
#include <cstddef>
#include <optional>
#include <string_view>
#include <string>
#include <vector>

#include "platform/extension_context.h"
#include "platform/native_messaging.h"

// Stands in for the host's extension main routine: reads message frames,
// turns each into one request for the handler and writes each reply as a
// frame, in order, until the input ends.
namespace velmora {

// What the host loop asks of the handler it serves: each request, and the
// replies the loop sends when the handler's own cannot go out. The texts of
// those replies are the handler's, like every other user text.
class NSExtensionRequestHandling {
 public:
  virtual ~NSExtensionRequestHandling() = default;
  // Completes the context exactly once.
  virtual void beginRequest(NSExtensionContext& context) = 0;
  // Sent for a request that ended without a reply.
  virtual boost::json::object noReply() const = 0;
  // Sent, and logged, in place of a reply of `bytes` bytes, more than the
  // browsers accept.
  virtual boost::json::object replyTooLarge(std::size_t bytes) const = 0;
  // Sent when the reply could not be put into bytes; `description` says why,
  // "cannot send the reply: Cannot allocate memory".
  virtual boost::json::object replyFailed(std::string_view description) const = 0;
  // Logs why the input could not be read to its end, after which the process
  // ends without a reply.
  virtual void inputFailed(std::string_view why) const = 0;
};

// After a message at least this large the host hands its freed memory back
// to the system, so that an idle long-lived host stays small whatever it
// served before; below it, trimming costs more than it gives back.
inline constexpr std::size_t kTrimAfterMessageBytes = 1024 * 1024;

// It does so once no message has come for this long: saves that follow each
// other reuse the memory rather than fault it in afresh every time.
inline constexpr int kTrimWhenIdleMilliseconds = 100;

// The request for one frame: an item carrying the frame's body as the
// message text, which the handler reads from the input as it decodes it (and
// answers as an unusable envelope when it is not a JSON object). A frame too
// long to be read becomes an empty item, answered the same way. The items
// read `body`, which must outlive them.
std::vector<NSExtensionItem> inputItemsForFrame(FrameBody& body);

// The bytes of the reply that a request completed with. A reply larger than
// the browsers accept is replaced by the handler's replyTooLarge.
std::string replyBytes(const std::vector<NSExtensionItem>& items,
                       const NSExtensionRequestHandling& handler);

// Serves every frame of `in`, one request each, replies on `out`. Returns the
// process exit status: 0 when the input ended between frames, 1 when it
// ended inside a frame or a descriptor failed; the handler logs why the input
// ended so.
int serveMessages(int in, int out, NSExtensionRequestHandling& handler);

// What the process does when a person rather than a browser started it: for
// "--version" alone it prints the version and ends with 0; with a terminal
// (a console) as its input it says on stderr what it is and ends with 2,
// rather than wait for frames nobody types. No value when a browser started
// it: browsers pass the caller's origin (and on Windows Chrome's
// --parent-window=N), or a manifest path and an add-on ID, and pipes.
std::optional<int> startedByHand(int argc, const char* const* argv, std::string_view version);

// The process's whole life: the handler serving standard input.
int extensionMain(NSExtensionRequestHandling& handler);

}  // namespace velmora
