#pragma once

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>
#include <string>
#include <string_view>

#include "base/status.h"
#include "storage/options.h"

namespace velmora::VelmoraStorage {

// A command left for the desktop application: one file per command in the
// "commands" directory, which the application reads and removes.
struct Command {
  std::string command;  // exactly as received; not validated here
  std::string url;      // the empty string when the message carried none
  double date = 0;      // seconds since 2001-01-01T00:00:00Z when it was queued

  friend bool operator==(const Command&, const Command&) = default;
};

// The file's object, members in the order "command", "url", "date".
boost::json::object encodeCommand(const Command& command);

// Writes commands/<UUID>.json in the storage directory, creating both
// directories when missing. Nothing is written when an earlier step fails.
Status queue(std::string_view command, std::string_view url, const Options& options);

}  // namespace velmora::VelmoraStorage
