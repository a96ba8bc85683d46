#include "core/timeline_export.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "core/studio.hpp"

namespace vestrel::timeline_export {

namespace {

std::string number(double x) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6g", x);
    return buf;
}

std::string hex_colour(const render::Rgba& c) {
    auto byte = [](double x) {
        return static_cast<int>(std::lround(std::clamp(x, 0.0, 1.0) * 255.0));
    };
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%02X%02X%02X", byte(c.r), byte(c.g), byte(c.b));
    return buf;
}

}  // namespace

std::vector<std::string> fade_clip_args(const render::VideoLayer& layer, int width, int height,
                                        frames::Rational rate, int64_t frames,
                                        const std::string& path) {
    const double a0 = std::clamp(layer.alpha_start, 0.0, 1.0);
    const double a1 = std::clamp(layer.alpha_end, 0.0, 1.0);
    std::string fade;
    if (a0 != a1) {
        if (std::min(a0, a1) != 0.0)
            throw render::PlanError("Colour clip '" + layer.name +
                                    "': its opacity must start or end at 0");
        fade = std::string(",fade=t=") + (a0 < a1 ? "in" : "out") +
               ":s=0:n=" + std::to_string(std::max<int64_t>(layer.ramp_frames, 1)) + ":alpha=1";
    }
    const std::string source = "color=c=" + hex_colour(layer.colour) + "@" +
                               number(std::max(a0, a1)) + ":s=" + std::to_string(width) + "x" +
                               std::to_string(height) + ":r=" + std::to_string(rate.num) + "/" +
                               std::to_string(rate.den) + ",format=yuva444p10le" + fade;
    // ProRes 4444 (profile 4 of ffmpeg's "prores" encoder, several times faster than
    // prores_ks here): the codec with alpha that Resolve, Premiere and Final Cut all read.
    return {"-nostdin",
            "-hide_banner",
            "-v",
            "error",
            "-y",
            "-f",
            "lavfi",
            "-i",
            source,
            "-frames:v",
            std::to_string(std::max<int64_t>(frames, 1)),
            "-c:v",
            "prores_aw",
            "-profile:v",
            "4",
            "-pix_fmt",
            "yuva444p10le",
            "-f",
            "mov",
            render::file_arg(path)};
}

std::optional<std::string> refuse_stem(std::string_view stem) {
    const std::string shown(stem);
    if (stem.empty() || stem.size() > 200 || stem.front() == '.' ||
        std::any_of(stem.begin(), stem.end(),
                    [](unsigned char c) { return c < 0x20 || c == 0x7f || c == '/' || c == '\\'; }))
        return "Invalid file name '" + shown + "': a plain file name without folders is expected";
    // The render's rule for library names, applied to the stem.
    if (auto refused = studio::refuse_output_name(shown + ".mp4");
        refused && refused->find("media library") != std::string::npos)
        return "Invalid file name '" + shown +
               "': names starting with bg_, music_ or voice_ and eight hexadecimal digits "
               "belong to the media library";
    return std::nullopt;
}

std::string default_stem(std::string_view project_name) {
    std::string name = studio::default_output_name(project_name);
    return name.substr(0, name.size() - 4);
}

const std::vector<std::string>& formats() {
    static const std::vector<std::string> all = {"otio", "fcpxml", "fcp7xml", "edl", "srt", "ass"};
    return all;
}

std::optional<std::string> file_name(std::string_view format, std::string_view stem) {
    const std::string s(stem);
    if (format == "otio") return s + ".otio";
    if (format == "fcpxml") return s + ".fcpxml";
    if (format == "fcp7xml") return s + ".xml";
    if (format == "edl") return s + ".edl";
    if (format == "srt") return s + ".srt";
    if (format == "ass") return s + ".ass";
    return std::nullopt;
}

std::optional<std::string> download_name(std::string_view format, std::string_view stem) {
    const std::string s(stem);
    if (format == "otio") return s + ".otioz";
    if (format == "fcpxml") return s + ".fcpxml.zip";
    if (format == "fcp7xml") return s + ".xml.zip";
    return file_name(format, stem);
}

std::string media_folder_of(std::string_view export_path) {
    const size_t slash = export_path.rfind('/');
    const size_t base = slash == std::string_view::npos ? 0 : slash + 1;
    const size_t dot = export_path.rfind('.');
    const size_t end = dot == std::string_view::npos || dot <= base ? export_path.size() : dot;
    return std::string(export_path.substr(0, end)) + "_titles";
}

}  // namespace vestrel::timeline_export
