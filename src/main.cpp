#include <optional>

#include "handler/safari_web_extension_handler.h"
#include "platform/host_loop.h"
#include "platform/system.h"

// Browsers pass the caller's origin, or a manifest path and an add-on ID;
// the host needs neither.
int main(int argc, char** argv) {
  if (const std::optional<int> status = velmora::startedByHand(argc, argv, VELMORA_VERSION)) {
    return *status;
  }
  // The one place the real world is handed in; everything below is given
  // it. The handler is never destroyed: what it knows of a large document
  // takes a while to free, just before the system takes back the whole
  // process at once. Held from a static, that memory is still reachable at
  // the end, so leak checkers do not count it.
  static velmora::SafariWebExtensionHandler* const handler =
      new velmora::SafariWebExtensionHandler(velmora::systemEnv());
  return velmora::extensionMain(*handler);
}
