// Rules of the studio's render routes that need no Python: which output file names are
// accepted, the default name, and how Resolve's job status reads for a client.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vestrel::studio {

// Why `name` cannot be a render's output file name in the media cache, or nothing when it
// can: a plain file name (no folder, no control character, not hidden) ending in ".mp4",
// whose stem is not that of a library asset ("bg_", "music_" or "voice_" followed by eight
// hexadecimal digits: the library finds an asset's files by that stem).
std::optional<std::string> refuse_output_name(std::string_view name);

// The default output name for a project: its name with characters that cannot stand in a
// file name replaced by "_", plus ".mp4".
std::string default_output_name(std::string_view project_name);

// A render job as a client sees it.
struct JobView {
    std::string status;  // "rendering", "done", "error" or "cancelled"
    int percent = 0;     // 0-100
    std::optional<std::string> error;
};

// Reads Resolve's "JobStatus" ("Ready", "Rendering", "Complete", "Failed", "Cancelled"),
// "CompletionPercentage" and "Error". A job Resolve calls complete whose output file is not
// there is an error: nothing was written.
JobView read_job(std::string_view job_status, double percent, std::string_view resolve_error,
                 bool output_exists);

}  // namespace vestrel::studio
