#include "handler/replies.h"

#include <utility>

#include "base/text.h"

namespace velmora::replies {

std::string_view statusText(std::string_view command) {
  if (command == "saveCurrent") return "Tab wird in Nelo gespeichert";
  if (command == "saveAll") return "Alle Tabs werden in Nelo gespeichert";
  if (command == "saveAndClose") return "Nelo speichert und schließt die Tabs";
  if (command == "cleanUp") return "Nelo räumt nutzlose Tabs auf";
  return "Nelo wird geöffnet";
}

std::string snapshotStoredLog(std::int64_t count) {
  return "Snapshot gespeichert: " + std::to_string(count) + " Tabs";
}

std::string damagedSnapshotKeptLog(const std::filesystem::path& kept) {
  return "Unlesbaren Snapshot aufbewahrt als " + kept.string();
}

std::string tooLarge(std::size_t size, std::size_t limit) {
  return "Antwort zu groß: " + std::to_string(size) + " Bytes, höchstens " + std::to_string(limit);
}

boost::json::object invalidMessage() {
  return boost::json::object{{"ok", false}, {"error", kInvalidMessage}};
}

boost::json::object failure(std::string_view description) {
  return boost::json::object{{"ok", false}, {"error", validUtf8(description)}};
}

boost::json::object snapshotStored(std::int64_t count, boost::json::object settings) {
  return boost::json::object{{"ok", true}, {"count", count}, {"badge", std::move(settings)}};
}

boost::json::object commandDone(std::string_view command) {
  return boost::json::object{{"ok", true}, {"message", statusText(command)}};
}

}  // namespace velmora::replies
