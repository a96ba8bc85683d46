// What exporting a timeline needs besides the interchange library: the moving picture of a
// fade clip (black whose opacity runs as the render draws it) as a file an editor imports,
// and the names of export files.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/frames.hpp"
#include "core/render.hpp"

namespace vestrel::timeline_export {

// ffmpeg's arguments writing a colour layer (a fade clip) as a QuickTime ProRes 4444 file with
// alpha, `frames` frames long from the clip's first frame, at the layer's colour and the
// opacity ramp the render gives it (from alpha_start at frame 0 to alpha_end after
// ramp_frames). Throws render::PlanError for a ramp the render cannot draw either.
std::vector<std::string> fade_clip_args(const render::VideoLayer& layer, int width, int height,
                                        frames::Rational rate, int64_t frames,
                                        const std::string& path);

// Why `stem` cannot name export files in the media cache, or nothing when it can: a plain
// name (no folder, no control character, not hidden, at most 200 bytes) that is not the
// stem of a library asset ("bg_", "music_" or "voice_" and eight hexadecimal digits).
std::optional<std::string> refuse_stem(std::string_view stem);

// The default stem for a project: its name with characters unfit in a file name replaced.
std::string default_stem(std::string_view project_name);

// The formats an export offers, in the order they are listed to a client.
const std::vector<std::string>& formats();

// The file a format's export is written to, for a stem: "otio" -> stem.otio,
// "fcpxml" -> stem.fcpxml, "fcp7xml" -> stem.xml, "edl" -> stem.edl, "srt", "ass".
// nullopt for an unknown format.
std::optional<std::string> file_name(std::string_view format, std::string_view stem);

// The one file a client downloads: the ".otioz" bundle for "otio", a ".zip" of the XML and
// its title pictures for "fcpxml" (stem.fcpxml.zip) and "fcp7xml" (stem.xml.zip), the plain
// file otherwise.
std::optional<std::string> download_name(std::string_view format, std::string_view stem);

// The folder beside an export file that holds its title pictures and fade clips:
// "<folder>/<stem>_titles" for "<folder>/<stem>.<ext>".
std::string media_folder_of(std::string_view export_path);

}  // namespace vestrel::timeline_export
