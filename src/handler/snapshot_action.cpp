#include "handler/snapshot_action.h"

#include <cstdint>
#include <string>
#include <utility>

#include "handler/replies.h"
#include "storage/extension_settings.h"
#include "storage/save_snapshot.h"

namespace velmora {
namespace {

boost::json::object failed(const Error& error, const Logger& log) {
  log.error(replies::kSaveFailedLog + error.description);
  return replies::failure(error.description);
}

}  // namespace

boost::json::object snapshotReply(Result<std::vector<SafariTab>> tabs,
                                  std::string_view scannedAt, const Logger& log,
                                  const VelmoraStorage::Options& storage) {
  if (!tabs) return failed(tabs.error(), log);
  const auto count = static_cast<std::int64_t>(tabs->size());
  const Result<VelmoraStorage::Saved> saved =
      VelmoraStorage::save(std::move(*tabs), scannedAt, storage);
  if (!saved) return failed(saved.error(), log);
  if (saved->keptDamaged) log.error(replies::damagedSnapshotKeptLog(*saved->keptDamaged));

  boost::json::object reply =
      replies::snapshotStored(count, VelmoraStorage::extensionSettings(storage));
  log.info(replies::snapshotStoredLog(count));
  return reply;
}

}  // namespace velmora
