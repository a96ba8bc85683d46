// What exporting a timeline needs besides the interchange library: the moving picture of a
// fade clip (black whose opacity runs as the render draws it) as a file an editor imports,
// and the names of export files.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
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

// "Unknown export format '<format>': known formats are otio, fcpxml, ..." for a format that
// is not offered; nothing for one that is.
std::optional<std::string> refuse_format(std::string_view format);

// Resolve's export types and subtypes, numbered in this order (types from 1, subtypes from
// 0). The values are the simulator's own; scripts use the names.
extern const std::vector<const char*> kExportTypes;
extern const std::vector<const char*> kExportSubtypes;

// The timeline files the simulator writes, by Resolve's export type.
enum class FileKind { Otio, Fcpxml, Fcp7, Edl };

// The file an export type (with its subtype) asks for: EXPORT_OTIO, EXPORT_FCPXML_1_8,
// EXPORT_FCP_7_XML, or EXPORT_EDL with the subtype EXPORT_NONE. nullopt for anything else.
std::optional<FileKind> file_kind(std::optional<int> type, std::optional<int> subtype);

// The export type's name a timeline file format of the studio is asked with ("otio" ->
// "EXPORT_OTIO", "fcpxml" -> "EXPORT_FCPXML_1_8", "fcp7xml" -> "EXPORT_FCP_7_XML", else
// "EXPORT_EDL").
const char* export_type_name(std::string_view format);

// The file of an item's picture or clip in an export's media folder, without its ending:
// "<media_dir>/<track_tag>_<n, three digits>_<name, characters other than letters, digits,
// '-' and '_' replaced by '_'>".
std::string item_media_base(std::string_view media_dir, std::string_view track_tag, int n,
                            std::string_view name);

// Whether `path` lies inside `folder` (below it, not the folder itself).
bool inside(std::string_view path, std::string_view folder);

// The files directly in an export's media folder, sorted by path, each with its name inside
// a zip: "<folder's name>/<file's name>". None when the folder does not exist.
std::vector<std::pair<std::string, std::string>> media_entries(const std::string& media_dir);

// Writes `text` to `path` through a temporary file beside it ("<path>.part"), so a reader
// never sees half a file; false when it could not be written (nothing is left behind).
bool write_text_file(const std::string& path, std::string_view text);

}  // namespace vestrel::timeline_export
