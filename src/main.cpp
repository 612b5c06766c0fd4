#include "handler/safari_web_extension_handler.h"
#include "platform/host_loop.h"
#include "platform/posix_env.h"

// Arguments (the caller's origin, or a manifest path and add-on ID) are not
// needed and are ignored.
int main() {
  // The one place the real world is made; everything below is handed it.
  velmora::PosixEnv env;
  const velmora::SafariWebExtensionHandler handler(env);
  return velmora::extensionMain(handler);
}
