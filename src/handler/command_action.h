#pragma once

#include <boost/json/object.hpp>
#include <filesystem>
#include <functional>
#include <string_view>

#include "platform/logger.h"
#include "platform/env.h"
#include "storage/options.h"

// The "command" action: leaves the command for the containing application
// and opens it.
namespace velmora {

// Queues the command (all but "openApp"), then calls `openApp` and answers
// with the status text; a failure to queue is logged and answered instead,
// and the application is then not opened. An application that cannot be
// started is logged, and so is what the launch has to say of one started;
// the reply stays: the launch is not waited for.
boost::json::object commandReply(std::string_view command, std::string_view url, const Logger& log,
                                 const std::function<Result<std::string>()>& openApp,
                                 const VelmoraStorage::Options& storage);

// The application bundle containing an extension bundle: three directory
// levels up (<app>/Contents/PlugIns/<extension>).
std::filesystem::path containingApplicationBundle(const std::filesystem::path& extensionBundle);

// Launches the containing application of the running executable through the
// Env, without waiting for it; an Error only when there is nothing there to
// launch, else what the launch has to say for the log.
Result<std::string> openContainingApp(Env& env);

}  // namespace velmora
