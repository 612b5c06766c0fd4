#pragma once

namespace velmora {

// Seconds between the Unix epoch and 2001-01-01T00:00:00Z, the reference
// date of every point in time this system handles.
inline constexpr double kReferenceDateUnixOffset = 978307200.0;

// The current time as seconds since 2001-01-01T00:00:00Z.
double currentTime();

}  // namespace velmora
