#include "handler/safari_web_extension_handler.h"
#include "platform/host_loop.h"

// Arguments (the caller's origin, or a manifest path and add-on ID) are not
// needed and are ignored.
int main() { return velmora::extensionMain<velmora::SafariWebExtensionHandler>(); }
