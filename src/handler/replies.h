#pragma once

#include <boost/json/object.hpp>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

// Every reply the host sends and every text a user reads: the replies are
// built here and nowhere else, and the German texts stand in one table.
namespace velmora::replies {

// --- The system's user texts ------------------------------------------------
// Answer to an unusable envelope or an unrecognised message.
inline constexpr char kInvalidMessage[] = "Ungültige Nachricht";
// Logged for an unrecognised message (never for an unusable envelope).
inline constexpr char kInvalidMessageLog[] = "Ungültige Nachricht von Safari";
// Prefixes of the log lines of a failed save and a failed command.
inline constexpr char kSaveFailedLog[] = "Speichern fehlgeschlagen: ";
inline constexpr char kCommandFailedLog[] = "Befehl fehlgeschlagen: ";
// Prefix of the log line of an application that could not be started (the
// reply does not change).
inline constexpr char kAppNotStartedLog[] = "Nelo nicht gestartet: ";
// Prefix of the log line of an application started otherwise than asked (on
// Windows, inside the browser's job when the job forbids leaving it).
inline constexpr char kAppStartedLog[] = "Nelo gestartet: ";
// Prefix of the log line of input that ended inside a message or could not be
// read, which ends the process.
inline constexpr char kInputFailedLog[] = "Nachricht nicht empfangen: ";
// A request that was never completed (the handler failed to answer).
inline constexpr char kNoReply[] = "Keine Antwort erhalten";
// Something was thrown that is no exception.
inline constexpr char kUnknownError[] = "Unbekannter Fehler";

// The status text answered for a command.
std::string_view statusText(std::string_view command);
// "Snapshot gespeichert: 3 Tabs"
std::string snapshotStoredLog(std::int64_t count);
// "Unlesbaren Snapshot aufbewahrt als /home/a/.local/share/Velmora/snapshot.v1.json.unreadable"
std::string damagedSnapshotKeptLog(const std::filesystem::path& kept);
// "Antwort zu groß: 2000000 Bytes, höchstens 1048576"
std::string tooLarge(std::size_t size, std::size_t limit);

// --- The replies ------------------------------------------------------------
// {"ok": false, "error": "Ungültige Nachricht"}
boost::json::object invalidMessage();
// {"ok": false, "error": description}. Descriptions may carry bytes from
// outside (a path that is not UTF-8); those become U+FFFD, since a reply
// that is not UTF-8 is dropped by the browser.
boost::json::object failure(std::string_view description);
// {"ok": true, "count": count, "badge": settings}
boost::json::object snapshotStored(std::int64_t count, boost::json::object settings);
// {"ok": true, "message": status text}
boost::json::object commandDone(std::string_view command);

}  // namespace velmora::replies
