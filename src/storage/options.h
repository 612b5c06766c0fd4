#pragma once

#include "platform/env.h"

namespace velmora::VelmoraStorage {

class KnownDocument;

// What every storage operation is handed. Storage never looks up its world:
// the Env is always given, and main alone gives the real one.
struct Options {
  explicit Options(Env& world, KnownDocument* known = nullptr) : env(&world), cache(known) {}

  Env* env;
  // Where save keeps what it knows of the last document it read or wrote,
  // for the next save; none when null, and every save then reads and decodes
  // the document afresh.
  KnownDocument* cache;
};

}  // namespace velmora::VelmoraStorage
