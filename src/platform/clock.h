#pragma once

namespace velmora {

// The current time as seconds since the Unix epoch.
double currentTime();

}  // namespace velmora
