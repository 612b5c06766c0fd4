#pragma once

#include "platform/env.h"

namespace velmora::VelmoraStorage {

class PreviousDocumentCache;

// What every storage operation is handed. Storage never looks up its world:
// the Env is always given, and main alone gives the real one.
struct Options {
  explicit Options(Env& world, PreviousDocumentCache* previous = nullptr)
      : env(&world), cache(previous) {}

  Env* env;
  // Where save keeps the last document it read, for the next save; none
  // when null, and every save then decodes the document afresh.
  PreviousDocumentCache* cache;
};

}  // namespace velmora::VelmoraStorage
