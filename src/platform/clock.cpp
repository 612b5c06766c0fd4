#include "platform/clock.h"

#include <chrono>

namespace velmora {

double currentTime() {
  const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration<double>(sinceEpoch).count();
}

}  // namespace velmora
