#pragma once

#include <signal.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/extension_context.h"
#include "platform/logger.h"
#include "platform/native_messaging.h"

// Stands in for the host's extension main routine: reads message frames,
// turns each into one request for the handler and writes each reply as a
// frame, in order, until the input ends.
namespace velmora {

using RequestHandler = std::function<void(NSExtensionContext&)>;

// The request for one frame. A frame that holds a JSON value becomes an item
// carrying it under the message key; one that could not be decoded (not
// UTF-8, not JSON, too long) becomes an item without userInfo, which the
// handler answers as an unusable envelope.
std::vector<std::any> inputItemsForFrame(const IncomingFrame& frame);

// The bytes of the reply that a request completed with. A reply larger than
// the browsers accept is replaced by an error reply, and logged.
std::string replyBytes(const std::vector<NSExtensionItem>& items, const Logger& log);

// Serves every frame of `in`, one request each, replies on `out`. Returns the
// process exit status: 0 when the input ended between frames, 1 when it
// ended inside a frame or a descriptor failed.
int serveMessages(int in, int out, const RequestHandler& beginRequest, const Logger& log);

// The process's whole life: one handler serving standard input.
template <class Handler>
int extensionMain() {
  // A browser that went away must end the process through a failed write,
  // not a signal.
  ::signal(SIGPIPE, SIG_IGN);
  Handler handler;
  return serveMessages(
      STDIN_FILENO, STDOUT_FILENO,
      [&handler](NSExtensionContext& context) { handler.beginRequest(context); }, handler.log());
}

}  // namespace velmora
