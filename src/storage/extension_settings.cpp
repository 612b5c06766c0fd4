#include "storage/extension_settings.h"

#include <cmath>
#include <exception>
#include <filesystem>
#include <string>
#include <string_view>

#include "base/json.h"

namespace velmora::VelmoraStorage {

namespace {

boost::json::object defaultSettings() { return boost::json::object{{"enabled", false}}; }

// Editors on some systems start a UTF-8 file with a byte-order mark; it is no
// part of the JSON text.
std::string_view withoutByteOrderMark(std::string_view text) {
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  if (text.starts_with(kByteOrderMark)) text.remove_prefix(kByteOrderMark.size());
  return text;
}

// A number too large for a double (1e400) parses as infinity, which has no
// JSON form: passed on, it would make every reply unreadable. Such a file
// counts as unparseable.
bool onlyFiniteNumbers(const boost::json::value& value) {
  switch (value.kind()) {
    case boost::json::kind::double_:
      return std::isfinite(value.get_double());
    case boost::json::kind::array:
      for (const boost::json::value& element : value.get_array()) {
        if (!onlyFiniteNumbers(element)) return false;
      }
      return true;
    case boost::json::kind::object:
      for (const auto& member : value.get_object()) {
        if (!onlyFiniteNumbers(member.value())) return false;
      }
      return true;
    default:
      return true;
  }
}

}  // namespace

boost::json::object extensionSettings(const Options& options) {
  try {
    Result<std::filesystem::path> dir = options.env->storageDirectory();
    if (!dir) return defaultSettings();
    Result<std::string> bytes = options.env->readFile(*dir / kExtensionSettingsFileName, SIZE_MAX);
    if (!bytes) return defaultSettings();
    boost::system::error_code ec;
    boost::json::value document = parseJson(withoutByteOrderMark(*bytes), ec);
    if (ec || !document.is_object() || !onlyFiniteNumbers(document)) return defaultSettings();
    return std::move(document.get_object());
  } catch (const std::exception&) {
    // Out of memory for a huge file: the settings are then as good as absent.
    return defaultSettings();
  }
}

}  // namespace velmora::VelmoraStorage
