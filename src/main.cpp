#include <optional>

#include "handler/safari_web_extension_handler.h"
#include "platform/host_loop.h"
#include "platform/posix/posix_env.h"

// Browsers pass the caller's origin, or a manifest path and an add-on ID;
// the host needs neither.
int main(int argc, char** argv) {
  if (const std::optional<int> status = velmora::startedByHand(argc, argv, VELMORA_VERSION)) {
    return *status;
  }
  // The one place the real world is made; everything below is handed it.
  velmora::PosixEnv env;
  const velmora::SafariWebExtensionHandler handler(env);
  return velmora::extensionMain(handler);
}
