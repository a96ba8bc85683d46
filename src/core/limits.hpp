// Bounds on what one request may ask of the server: each bound keeps a single parameter from
// costing unbounded memory or time.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace vestrel::limits {

// The pause put between two stretches of speech, in seconds. A pause is built as PCM, so an
// unbounded length is unbounded memory.
inline constexpr double max_pause_seconds = 10.0;

inline bool pause_in_range(double seconds) {
    return std::isfinite(seconds) && seconds >= 0.0 && seconds <= max_pause_seconds;
}

// All captions of one script together, in code points (commands included).
inline constexpr std::size_t max_script_chars = 20000;

// An uploaded template project, in bytes (200 MB).
inline constexpr std::uint64_t max_template_bytes = 209715200;

}  // namespace vestrel::limits
