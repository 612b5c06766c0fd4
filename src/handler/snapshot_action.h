#pragma once

#include <boost/json/object.hpp>
#include <string_view>
#include <vector>

#include "base/status.h"
#include "model/safari_tab.h"

#include "platform/logger.h"
#include "storage/options.h"

// The "saveSnapshot" action: stores the scanned tabs and answers with their
// number and the extension settings.
namespace velmora {

// `tabs` holds the records of the message's "tabs" array, or the failure of
// its first entry that did not decode. Either outcome is logged.
boost::json::object snapshotReply(Result<std::vector<SafariTab>> tabs,
                                  std::string_view scannedAt, const Logger& log,
                                  const VelmoraStorage::Options& storage);

}  // namespace velmora
