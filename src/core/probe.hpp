// What a media file holds, read with libavformat: its streams, its picture's rate, size and
// length. The values are the ones ffprobe reports for the same file (the same library
// fields, durations rounded to microseconds as ffprobe prints them).
#pragma once

#include <optional>
#include <string>

#include "core/resolve_sim.hpp"

namespace vestrel::probe {

// Streams, rate, length and size of a file. A file libavformat cannot read is taken by its
// extension (video or audio, rate unknown), so placeholder media imports; nullopt for
// anything else. A file is read once per content version (path, size and modification
// time): a generation imports the same background several times.
std::optional<resolve_sim::MediaInfo> probe_media(const std::string& path);

// A file taken by its extension alone: "mp4", "mov", "m4v", "mkv", "avi", "webm", "mxf",
// "mts" are video; "mp3", "wav", "m4a", "aac", "flac", "ogg", "aif", "aiff" audio (any
// case); nullopt for any other name.
std::optional<resolve_sim::MediaInfo> by_extension(const std::string& path);

}  // namespace vestrel::probe
