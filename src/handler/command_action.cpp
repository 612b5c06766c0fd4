#include "handler/command_action.h"

#include <string>

#include "handler/replies.h"
#include "storage/command_queue.h"

namespace velmora {

boost::json::object commandReply(std::string_view command, std::string_view url, const Logger& log,
                                 const std::function<Result<std::string>()>& openApp,
                                 const VelmoraStorage::Options& storage) {
  if (command != "openApp") {
    const Status queued = VelmoraStorage::queue(command, url, storage);
    if (!queued) {
      const std::string& description = queued.error().description;
      log.error(replies::kCommandFailedLog + description);
      return replies::failure(description);
    }
  }
  // Without this line nothing would tell why Nelo never opened.
  if (const Result<std::string> opened = openApp(); !opened) {
    log.error(replies::kAppNotStartedLog + opened.error().description);
  } else if (!opened->empty()) {
    log.info(replies::kAppStartedLog + *opened);
  }
  return replies::commandDone(command);
}

std::filesystem::path containingApplicationBundle(const std::filesystem::path& extensionBundle) {
  std::filesystem::path bundle = extensionBundle;
  // "/a/b/" names the same directory as "/a/b".
  if (!bundle.has_filename() && bundle.has_relative_path()) bundle = bundle.parent_path();
  for (int level = 0; level < 3; ++level) bundle = bundle.parent_path();
  return bundle;
}

Result<std::string> openContainingApp(Env& env) {
  return env.openApplication(containingApplicationBundle(env.executablePath().parent_path()));
}

}  // namespace velmora
