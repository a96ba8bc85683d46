#include "core/studio.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>

namespace vestrel::studio {

namespace {

bool is_hex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool has_asset_stem(std::string_view name) {
    for (std::string_view prefix : {"bg_", "music_", "voice_"}) {
        if (name.size() < prefix.size() + 8) continue;
        bool same = true;
        for (size_t i = 0; i < prefix.size(); ++i)
            if (std::tolower(static_cast<unsigned char>(name[i])) != prefix[i]) same = false;
        if (!same) continue;
        if (std::all_of(name.begin() + prefix.size(), name.begin() + prefix.size() + 8, is_hex))
            return true;
    }
    return false;
}

bool unfit_char(unsigned char c) { return c < 0x20 || c == 0x7f || c == '/' || c == '\\'; }

}  // namespace

std::optional<std::string> refuse_output_name(std::string_view name) {
    const std::string shown(name);
    constexpr std::string_view ext = ".mp4";
    if (name.size() <= ext.size() || name.substr(name.size() - ext.size()) != ext)
        return "Invalid file name '" + shown + "': a render's file name ends in \".mp4\"";
    if (name.size() > 255 || name.front() == '.' ||
        std::any_of(name.begin(), name.end(), [](char c) { return unfit_char(c); }))
        return "Invalid file name '" + shown + "': a plain file name without folders is expected";
    if (has_asset_stem(name))
        return "Invalid file name '" + shown +
               "': names starting with bg_, music_ or voice_ and eight hexadecimal digits "
               "belong to the media library";
    return std::nullopt;
}

std::string default_output_name(std::string_view project_name) {
    std::string stem;
    for (unsigned char c : project_name) {
        const bool bad = unfit_char(c) || c == ':' || c == '*' || c == '?' || c == '"' ||
                         c == '<' || c == '>' || c == '|';
        stem += bad ? '_' : static_cast<char>(c);
    }
    if (stem.empty() || stem.front() == '.') stem.insert(0, "render");
    return stem + ".mp4";
}

JobView read_job(std::string_view job_status, double percent, std::string_view resolve_error,
                 bool output_exists) {
    JobView v;
    if (!std::isfinite(percent)) percent = 0;
    v.percent = static_cast<int>(std::clamp(std::floor(percent), 0.0, 100.0));
    if (job_status == "Complete") {
        if (output_exists) {
            v.status = "done";
            v.percent = 100;
        } else {
            v.status = "error";
            v.error = "The render ended without writing its output file";
        }
    } else if (job_status == "Failed") {
        v.status = "error";
        v.error = resolve_error.empty() ? std::string("Render failed") : std::string(resolve_error);
    } else if (job_status == "Cancelled") {
        v.status = "cancelled";
    } else {
        v.status = "rendering";  // "Ready" (queued) or "Rendering"
    }
    return v;
}

}  // namespace vestrel::studio
