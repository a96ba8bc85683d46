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

// Scenes of one generation request.
inline constexpr std::size_t max_scenes = 6;

// Why a generation request is refused before any work, or nullptr: too many scenes, a pause
// out of range (checked whether or not pauses are cut: the value travels with the input
// either way), a script too long. The first bound broken is named.
inline const char* generation_refusal(std::size_t scenes, double pause_seconds,
                                      std::size_t script_chars) {
    if (scenes > max_scenes) return "Maximum 6 scenes allowed";
    if (!pause_in_range(pause_seconds))
        return "min_silence_duration must be between 0 and 10 seconds";
    if (script_chars > max_script_chars) return "Script too long (at most 20000 characters)";
    return nullptr;
}

// An uploaded template project, in bytes (200 MB).
inline constexpr std::uint64_t max_template_bytes = 209715200;

}  // namespace vestrel::limits
