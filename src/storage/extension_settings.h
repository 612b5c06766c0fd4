#pragma once

#include <boost/json/object.hpp>

#include "storage/options.h"

namespace velmora::VelmoraStorage {

// The name of the settings file other programs leave in the storage directory.
inline constexpr char kExtensionSettingsFileName[] = "extension-settings.json";

// The settings file's top-level object, passed on uninterpreted and read anew
// on every call. Anything else (no storage directory, no readable file, not
// JSON, not an object) gives {"enabled": false}. Never fails.
boost::json::object extensionSettings(const Options& options);

}  // namespace velmora::VelmoraStorage
