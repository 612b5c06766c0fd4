#include "handler/snapshot_action.h"

#include <cstdint>
#include <string>

#include "handler/dispatch.h"
#include "model/safari_tab.h"
#include "storage/extension_settings.h"
#include "storage/save_snapshot.h"

namespace velmora {
namespace {

boost::json::object failed(const Error& error, const Logger& log) {
  log.error("Speichern fehlgeschlagen: " + error.description);
  return failureReply(error.description);
}

}  // namespace

boost::json::object snapshotReply(const boost::json::value& tabs, std::string_view scannedAt,
                                  const Logger& log) {
  auto decoded = decodeTabs(tabs, "tabs");
  if (!decoded) return failed(decoded.error(), log);
  const Status saved = VelmoraStorage::save(*decoded, scannedAt);
  if (!saved) return failed(saved.error(), log);

  const auto count = static_cast<std::int64_t>(decoded->size());
  boost::json::object reply{
      {"ok", true}, {"count", count}, {"badge", VelmoraStorage::extensionSettings()}};
  log.info("Snapshot gespeichert: " + std::to_string(count) + " Tabs");
  return reply;
}

}  // namespace velmora
