// Time units shared by the whole client: durations in nanoseconds, wall-clock dates from the system
// clock.
#pragma once

#include <chrono>
#include <cstdint>

namespace zarvo {

using Duration = std::chrono::nanoseconds;
using WallClock = std::chrono::system_clock;
using WallTime = WallClock::time_point;

// Intervals are thought of in (fractional) seconds: `seconds(0.2)` reads as it is meant.
constexpr Duration seconds(double s) {
    return std::chrono::duration_cast<Duration>(std::chrono::duration<double>(s));
}
constexpr Duration milliseconds(int64_t ms) {
    return std::chrono::milliseconds(ms);
}
constexpr double toSeconds(Duration d) {
    return std::chrono::duration<double>(d).count();
}

// Milliseconds since the Unix epoch, not rounded (observation time stamps keep the fraction).
inline double epochMilliseconds(WallTime t) {
    return std::chrono::duration<double, std::milli>(t.time_since_epoch()).count();
}
inline double epochSeconds(WallTime t) {
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

} // namespace zarvo
