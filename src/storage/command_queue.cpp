#include "storage/command_queue.h"

#include <boost/uuid/uuid.hpp>
#include <boost/uuid/uuid_generators.hpp>
#include <boost/uuid/uuid_io.hpp>
#include <cctype>
#include <cmath>
#include <exception>
#include <functional>

#include "model/document_bytes.h"
#include "platform/os_error.h"
#include "storage/velmora_date.h"

namespace velmora::VelmoraStorage {

namespace {

constexpr char kCommandsDirectoryName[] = "commands";
constexpr char kCommandKey[] = "command";
constexpr char kUrlKey[] = "url";
constexpr char kDateKey[] = "date";

// Canonical 36-character text of a fresh version 4 UUID, upper-case as the
// application expects in file names.
std::string newFileStem() {
  boost::uuids::random_generator generate;
  std::string text = boost::uuids::to_string(generate());
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

boost::json::object encodeCommand(const Command& command) {
  boost::json::object object;
  object.reserve(3);
  object.emplace(kCommandKey, command.command);
  object.emplace(kUrlKey, command.url);
  object.emplace(kDateKey, command.date);
  return object;
}

Status queue(std::string_view command, std::string_view url, const Options& options) {
  Result<std::filesystem::path> storage = options.env->storageDirectory();
  if (!storage) return storage.error();
  const std::filesystem::path dir = *storage / kCommandsDirectoryName;
  if (Status created = createDirectories(*options.env, dir); !created) return created;

  const double now = VelmoraDate::fromUnixTime(options.env->now());
  // A non-finite number has no JSON form; the file would not read back.
  if (!std::isfinite(now))
    return Error{"cannot queue the command: the current time is not finite"};
  try {
    const std::string bytes =
        documentBytes(encodeCommand(Command{std::string(command), std::string(url), now}));
    const std::filesystem::path file = dir / (newFileStem() + ".json");
    Status written = writeFileAtomically(*options.env, file, bytes);
    // The write may fail after the file became visible (the directory could
    // not be synced). A command answered as failed must not stay queued, or
    // a retry would queue it twice; the name is fresh, so the file is ours.
    if (!written) removeRegularFile(*options.env, file);
    return written;
  } catch (const std::exception& e) {
    // Out of memory, or the UUID generator with no entropy to give.
    return thrownError("cannot queue the command", e);
  }
}

}  // namespace velmora::VelmoraStorage
