#include <optional>

#include "handler/safari_web_extension_handler.h"
#include "platform/host_loop.h"
#include "platform/posix_env.h"

// Browsers pass the caller's origin, or a manifest path and an add-on ID;
// the host needs neither.
int main(int argc, char** argv) {
  if (const std::optional<int> status = velmora::startedByHand(argc, argv, VELMORA_VERSION)) {
    return *status;
  }
  // The one place the real world is made; everything below is handed it.
  // Neither is destroyed: what the handler knows of a large document takes a
  // while to free, just before the system takes back the whole process at
  // once. Held from a static, that memory is still reachable at the end, so
  // leak checkers do not count it.
  static velmora::PosixEnv* const env = new velmora::PosixEnv;
  static const velmora::SafariWebExtensionHandler* const handler =
      new velmora::SafariWebExtensionHandler(*env);
  return velmora::extensionMain(*handler);
}
