#include "storage/extension_settings.h"

#include <boost/json/parse.hpp>
#include <exception>
#include <filesystem>
#include <string>

#include "platform/file_system.h"
#include "storage/storage_directory.h"

namespace velmora::VelmoraStorage {

namespace {

boost::json::object defaultSettings() { return boost::json::object{{"enabled", false}}; }

}  // namespace

boost::json::object extensionSettings() {
  try {
    Result<std::filesystem::path> dir = writeDir();
    if (!dir) return defaultSettings();
    Result<std::string> bytes = fs::readFile(*dir / kExtensionSettingsFileName);
    if (!bytes) return defaultSettings();
    boost::system::error_code ec;
    boost::json::value document = boost::json::parse(*bytes, ec);
    if (ec || !document.is_object()) return defaultSettings();
    return std::move(document.get_object());
  } catch (const std::exception&) {
    // Out of memory for a huge file: the settings are then as good as absent.
    return defaultSettings();
  }
}

}  // namespace velmora::VelmoraStorage
