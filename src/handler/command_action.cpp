#include "handler/command_action.h"

#include <string>

#include "handler/dispatch.h"
#include "platform/workspace.h"
#include "storage/command_queue.h"

namespace velmora {

std::string_view statusText(std::string_view command) {
  if (command == "saveCurrent") return "Tab wird in Nelo gespeichert";
  if (command == "saveAll") return "Alle Tabs werden in Nelo gespeichert";
  if (command == "saveAndClose") return "Nelo speichert und schließt die Tabs";
  if (command == "cleanUp") return "Nelo räumt nutzlose Tabs auf";
  return "Nelo wird geöffnet";
}

boost::json::object commandReply(std::string_view command, std::string_view url, const Logger& log,
                                 const std::function<void()>& openApp) {
  if (command != "openApp") {
    const Status queued = VelmoraStorage::queue(command, url);
    if (!queued) {
      const std::string& description = queued.error().description;
      log.error("Befehl fehlgeschlagen: " + description);
      return failureReply(description);
    }
  }
  openApp();
  return boost::json::object{{"ok", true}, {"message", statusText(command)}};
}

std::filesystem::path containingApplicationBundle(const std::filesystem::path& extensionBundle) {
  std::filesystem::path bundle = extensionBundle;
  // "/a/b/" names the same directory as "/a/b".
  if (!bundle.has_filename() && bundle.has_relative_path()) bundle = bundle.parent_path();
  for (int level = 0; level < 3; ++level) bundle = bundle.parent_path();
  return bundle;
}

void openContainingApp() { openApplication(containingApplicationBundle(extensionBundlePath())); }

}  // namespace velmora
