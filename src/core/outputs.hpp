// Renders and exports kept in the media cache: which files of the cache folder the studio
// lists (and lets a user delete) as outputs, never the library's own assets.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace vestrel::outputs {

// True when `name` is a render or export that the studio shows: a plain file name (no
// folder, no control character, not hidden) ending in ".mp4", ".otioz", ".zip", ".edl",
// ".srt", ".ass" or ".xml" (lower case, as the render and export routes write them), whose
// stem is not a library asset's ("bg_", "music_", "voice_" + eight hexadecimal digits).
bool is_output_name(std::string_view name);

// The ending of an output name without its dot ("mp4", "otioz", ...), or "" for a non-output.
std::string_view output_kind(std::string_view name);

struct OutputFile {
    std::string name;
    std::uintmax_t size = 0;
    double modified = 0.0;  // seconds since the epoch
};

// The outputs among the regular files (links not followed) directly inside `dir`, newest
// first (then by name). A missing folder has none.
std::vector<OutputFile> list_outputs(const std::filesystem::path& dir);

enum class Removal { Removed, NotFound, Failed };

// Removes the output `name` from `dir`. Links are never followed out of the cache: only a
// regular file of the folder's own is removed; anything else is NotFound. On Failed, `error`
// holds the system's reason.
Removal remove_output(const std::filesystem::path& dir, const std::string& name,
                      std::string& error);

}  // namespace vestrel::outputs
