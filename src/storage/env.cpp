#include "storage/env.h"

#include "platform/clock.h"
#include "storage/storage_directory.h"

namespace velmora::VelmoraStorage {
namespace {

class SystemEnv final : public Env {
 public:
  Result<std::filesystem::path> storageDirectory() override { return writeDir(); }
  double now() override { return currentTime(); }
};

}  // namespace

Env* Env::Default() {
  // Stateless, so one instance serves every thread for the process's life.
  static SystemEnv env;
  return &env;
}

}  // namespace velmora::VelmoraStorage
