#pragma once

#include "platform/env.h"

namespace velmora::VelmoraStorage {

class KnownDocument;

// What every storage operation is handed. Storage never looks up its world:
// the Env is always given, and main alone gives the real one.
struct Options {
  explicit Options(Env& world, KnownDocument* known = nullptr) : env(&world), cache(known) {}

  Env* env;
  // What a long-lived host knows of the last document a save read or wrote,
  // for the next save. None when null: each save then knows only what it
  // finds itself, with the same outcome.
  KnownDocument* cache;
};

}  // namespace velmora::VelmoraStorage
