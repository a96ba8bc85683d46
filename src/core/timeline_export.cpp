#include "core/timeline_export.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>

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

std::optional<std::string> refuse_format(std::string_view format) {
    if (file_name(format, "x")) return std::nullopt;
    std::string known;
    for (const auto& f : formats()) known += (known.empty() ? "" : ", ") + f;
    return "Unknown export format '" + std::string(format) + "': known formats are " + known;
}

const std::vector<const char*> kExportTypes = {
    "EXPORT_AAF",        "EXPORT_DRT",        "EXPORT_EDL",        "EXPORT_FCP_7_XML",
    "EXPORT_FCPXML_1_3", "EXPORT_FCPXML_1_4", "EXPORT_FCPXML_1_5", "EXPORT_FCPXML_1_6",
    "EXPORT_FCPXML_1_7", "EXPORT_FCPXML_1_8", "EXPORT_FCPXML_1_9", "EXPORT_FCPXML_1_10",
    "EXPORT_HDR_10_PROFILE_A",     "EXPORT_HDR_10_PROFILE_B",     "EXPORT_TEXT_CSV",
    "EXPORT_TEXT_TAB",             "EXPORT_DOLBY_VISION_VER_2_9", "EXPORT_DOLBY_VISION_VER_4_0",
    "EXPORT_DOLBY_VISION_VER_5_1", "EXPORT_OTIO"};
const std::vector<const char*> kExportSubtypes = {"EXPORT_NONE", "EXPORT_AAF_NEW",
                                                  "EXPORT_AAF_EXISTING", "EXPORT_CDL",
                                                  "EXPORT_SDL", "EXPORT_MISSING_CLIPS"};

std::optional<FileKind> file_kind(std::optional<int> type, std::optional<int> subtype) {
    constexpr int kEdl = 3, kFcp7 = 4, kFcpxml18 = 10, kOtio = 20, kNone = 0;
    if (type == kOtio) return FileKind::Otio;
    if (type == kFcpxml18) return FileKind::Fcpxml;
    if (type == kFcp7) return FileKind::Fcp7;
    // The subtype is required for an EDL; the simulator writes the plain one.
    if (type == kEdl && subtype == kNone) return FileKind::Edl;
    return std::nullopt;
}

const char* export_type_name(std::string_view format) {
    if (format == "otio") return "EXPORT_OTIO";
    if (format == "fcpxml") return "EXPORT_FCPXML_1_8";
    if (format == "fcp7xml") return "EXPORT_FCP_7_XML";
    return "EXPORT_EDL";
}

std::string item_media_base(std::string_view media_dir, std::string_view track_tag, int n,
                            std::string_view name) {
    char num[16];  // room for any int
    std::snprintf(num, sizeof num, "%03d", n);
    std::string out = std::string(media_dir) + "/" + std::string(track_tag) + "_" + num + "_";
    for (unsigned char ch : name)
        out += (std::isalnum(ch) || ch == '-' || ch == '_') ? static_cast<char>(ch) : '_';
    return out;
}

bool inside(std::string_view path, std::string_view folder) {
    return path.size() > folder.size() && path.substr(0, folder.size()) == folder &&
           path[folder.size()] == '/';
}

std::vector<std::pair<std::string, std::string>> media_entries(const std::string& media_dir) {
    namespace fs = std::filesystem;
    std::vector<std::pair<std::string, std::string>> entries;
    std::error_code ec;
    if (!fs::is_directory(media_dir, ec)) return entries;
    std::vector<fs::path> names;
    for (const auto& e : fs::directory_iterator(media_dir, ec)) names.push_back(e.path());
    std::sort(names.begin(), names.end());
    const std::string dir = fs::path(media_dir).filename().string();
    for (const auto& p : names) entries.emplace_back(p.string(), dir + "/" + p.filename().string());
    return entries;
}

bool write_text_file(const std::string& path, std::string_view text) {
    const std::string tmp = path + ".part";
    bool written;
    {
        std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
        f << text;
        written = static_cast<bool>(f);
    }
    std::error_code ec;
    if (written) std::filesystem::rename(tmp, path, ec);
    if (written && !ec) return true;
    std::filesystem::remove(tmp, ec);
    return false;
}

}  // namespace vestrel::timeline_export
