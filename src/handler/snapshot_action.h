#pragma once

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>
#include <string_view>

#include "platform/logger.h"
#include "storage/env.h"

// The "saveSnapshot" action: stores the scanned tabs and answers with their
// number and the extension settings.
namespace velmora {

// `tabs` is the message's "tabs" array. Either outcome is logged.
boost::json::object snapshotReply(const boost::json::value& tabs, std::string_view scannedAt,
                                  const Logger& log, const VelmoraStorage::Options& storage);

}  // namespace velmora
