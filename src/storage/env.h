#pragma once

#include <filesystem>

#include "base/status.h"

namespace velmora::VelmoraStorage {

// The world the storage code works in: where the storage directory is and
// what time it is. It is handed in through Options rather than looked up, so
// that a test gives the code a world of its own.
class Env {
 public:
  virtual ~Env() = default;

  // The storage directory, created with its missing parents. Asked anew at
  // every use: the directory may have been removed since.
  virtual Result<std::filesystem::path> storageDirectory() = 0;

  // Seconds since 2001-01-01T00:00:00Z.
  virtual double now() = 0;

  // The user's own storage directory (writeDir()) and the system clock.
  static Env* Default();
};

class KnownDocument;

// What every storage operation is handed.
struct Options {
  Env* env = Env::Default();
  // Where save keeps what it knows of the last document it read or wrote,
  // for the next save; none when null, and every save then reads and decodes
  // the document afresh.
  KnownDocument* cache = nullptr;
};

}  // namespace velmora::VelmoraStorage
