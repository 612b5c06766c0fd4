#include "handler/safari_web_extension_handler.h"
#include "platform/host_loop.h"

// Browsers pass the caller's origin, or a manifest path and an add-on ID;
// the host needs neither.
int main(int argc, char** argv) {
  return velmora::extensionMain<velmora::SafariWebExtensionHandler>(argc, argv, VELMORA_VERSION);
}
