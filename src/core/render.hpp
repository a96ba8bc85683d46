// The render of a timeline as one ffmpeg run: a snapshot of the timeline (what is on which
// track over which frames) in; the ffmpeg inputs, one filter graph and the ASS scripts of its
// titles out. Pure planning: running ffmpeg, checking files and fonts is the caller's work.
#pragma once

#include "core/error.hpp"
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/frames.hpp"
#include "core/resolve_sim.hpp"

namespace vestrel::render {

using frames::Rational;

// A render that cannot be planned (nothing to render, an unsupported setting...).
struct PlanError : Error {
    explicit PlanError(const std::string& message) : Error(ErrorKind::Runtime, message) {}
};

struct Rgba {
    double r = 1.0, g = 1.0, b = 1.0, a = 1.0;  // 0..1 each
};

// How a title draws its text. Sizes (the em of the font) and distances are fractions of the
// frame width; the position is the text's centre, y counted from the bottom (as in Fusion).
struct TitleStyle {
    std::string font = "Open Sans";
    std::string style = "Bold";  // weight and slant words: "Black", "ExtraBold Italic"...
    double size = 0.09;
    double center_x = 0.5, center_y = 0.5;
    double wrap_width = 0.9;  // widest line before the text wraps
    Rgba fill{1, 1, 1, 1};
    Rgba outline{0, 0, 0, 1};
    double outline_thickness = 0.0;
    Rgba shadow{0, 0, 0, 0.6};
    double shadow_offset = 0.0;
    // The font's line height per em as libass measures it (fonts::line_per_em): `size` is
    // the em, and libass is given the line. Filled in by the renderer, which reads the font.
    double line_per_em = 1.0;
};

// The style a title item's "Template" tool gives (inputs absent keep the defaults above).
TitleStyle style_from_tool(const resolve_sim::Tool& tool);
// The inputs style_from_tool reads, for a caller that copies them from another tool.
extern const std::vector<const char*> kTitleStyleInputs;

// OpenType weight (100..900) and slant of a style name; nullopt for a word we do not know.
struct FontFace {
    int weight = 400;
    bool italic = false;
};
std::optional<FontFace> face_of_style(const std::string& style);

struct VideoLayer {
    enum class Kind { Media, Colour, Title } kind = Kind::Media;
    int track = 1;
    int64_t start = 0;     // frames from the timeline's first frame
    int64_t duration = 0;  // frames
    std::string name;      // the item's name, for messages
    // Media: a video file, from `source_offset` seconds, scaled to cover the frame.
    std::string path;
    double source_offset = 0.0;
    // Colour: a solid colour whose opacity runs linearly from alpha_start at the clip's
    // first frame to alpha_end after its last (`ramp_frames` long); the item shows the
    // clip's frames from `ramp_offset` on.
    Rgba colour{0, 0, 0, 1};
    double alpha_start = 1.0, alpha_end = 1.0;
    int64_t ramp_frames = 0;
    int64_t ramp_offset = 0;
    // Title
    std::string text;
    TitleStyle style;
};

struct AudioLayer {
    int track = 1;
    int64_t start = 0;     // frames from the timeline's first frame
    int64_t duration = 0;  // frames
    std::string path;
    double source_offset = 0.0;  // seconds
};

// A timeline frozen at the start of a render.
struct Snapshot {
    std::string timeline_name;
    int width = 1920, height = 1080;
    Rational rate{24, 1};
    int64_t frames = 0;  // from the first frame to the end of the last item
    std::vector<VideoLayer> video;
    std::vector<AudioLayer> audio;
    std::vector<resolve_sim::AudioTrackMix> audio_tracks;  // per audio track, from 1
};

// What is rendered: everything the timeline holds, video tracks then audio tracks, in
// track order. Items with nothing to draw (a title without text) are left out.
Snapshot snapshot_of(const resolve_sim::Timeline& timeline);

// The file and codec settings of one render.
struct Output {
    std::string path;       // the file ffmpeg writes
    int width = 0;          // 0: the timeline's
    int height = 0;
    std::string codec = "H264";  // "H264" or "H265"
    int crf = 22;           // used when bitrate_kbps is 0
    int bitrate_kbps = 0;
    bool video = true;
    bool audio = true;
};

// "VideoQuality" as a render setting: "" or "0" automatic (CRF 22), a whole number of kb/s,
// or one of "Least", "Low", "Medium", "High", "Best"; nullopt for anything else.
struct Quality {
    int crf = 22;
    int bitrate_kbps = 0;
};
std::optional<Quality> quality_of(const std::string& text);

struct Plan {
    std::vector<std::string> args;  // ffmpeg's arguments (without the program name)
    // ASS scripts by file name; ffmpeg runs in the folder that holds them.
    std::vector<std::pair<std::string, std::string>> scripts;
    int64_t frames = 0;  // video frames the render writes (for the progress)
    std::vector<std::pair<std::string, std::string>> fonts;  // (family, style) the titles use
    std::vector<std::string> sources;                        // every file read
};

// The encoder settings every render uses: x264 "veryfast" at CRF 22 by default.
inline constexpr const char* kX264Preset = "veryfast";
inline constexpr int kDefaultCrf = 22;

// Throws PlanError when there is nothing to render or a layer cannot be drawn.
Plan plan(const Snapshot& snapshot, const Output& output);

// An ASS script of titles, timed to whole frames at `rate` (libass shows an event from its
// start up to, not including, its end, compared with each frame's time in milliseconds).
std::string ass_script(const std::vector<const VideoLayer*>& titles, int width, int height,
                       Rational rate);

// One title alone, on screen from time 0, for drawing it to a still picture.
std::string single_title_script(const VideoLayer& title, int width, int height);

// ffmpeg's arguments drawing the script "title.ass" (in its working folder) on a
// transparent frame and writing one PNG to `png_path`.
std::vector<std::string> title_png_args(int width, int height, const std::string& png_path);

// The start of frame `frame` as an ASS time (h:mm:ss.cc) such that libass's frame test
// (start <= floor(frame time in ms) < end) picks exactly the frames wanted.
std::string ass_time(int64_t frame, Rational rate);

// The frame count of one "frame=N" line of ffmpeg's -progress output; nullopt otherwise.
std::optional<int64_t> progress_frame(const std::string& line);

// A file path ffmpeg reads or writes as a plain file whatever its characters ("file:" + an
// absolute path, so a name like "a:b.mp4" or "-x.mp4" is no protocol or option).
std::string file_arg(const std::string& path);

}  // namespace vestrel::render
