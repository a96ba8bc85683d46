#include "core/render_queue.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <mutex>

#include "core/render.hpp"

namespace vestrel::render {

namespace {

using resolve_sim::RenderJob;

struct Preset {
    const char* name;
    const char* codec;
    int width, height;  // 0: the timeline's
};

const Preset kPresets[] = {{"H.264 Master", "H264", 0, 0},
                           {"H.265 Master", "H265", 0, 0},
                           {"YouTube - 1080p", "H264", 1920, 1080},
                           {"Vimeo - 1080p", "H264", 1920, 1080},
                           {"TikTok - 1080p", "H264", 1080, 1920}};

const char* status_text(RenderJob::Status s) {
    switch (s) {
        case RenderJob::Status::Ready: return "Ready";
        case RenderJob::Status::Rendering: return "Rendering";
        case RenderJob::Status::Complete: return "Complete";
        case RenderJob::Status::Cancelled: return "Cancelled";
        case RenderJob::Status::Failed: return "Failed";
    }
    return "";
}

}  // namespace

std::vector<std::string> preset_names() {
    std::vector<std::string> names;
    for (const Preset& preset : kPresets) names.emplace_back(preset.name);
    return names;
}

bool load_preset(resolve_sim::Project& p, const std::string& name) {
    const auto* preset = std::find_if(std::begin(kPresets), std::end(kPresets),
                                      [&](const Preset& x) { return name == x.name; });
    if (preset == std::end(kPresets)) {
        p.refused_preset = name;
        return false;
    }
    p.render_preset = name;
    p.refused_preset.clear();
    p.render_format = "mp4";
    p.render_codec = preset->codec;
    auto size = [](int v) { return v ? std::to_string(v) : std::string(); };
    put_render_settings(p, {{"FormatWidth", size(preset->width)},
                            {"FormatHeight", size(preset->height)}});
    return true;
}

void put_render_settings(resolve_sim::Project& p,
                         const std::vector<std::pair<std::string, std::string>>& values) {
    for (const auto& [key, value] : values) {
        auto it = std::find_if(p.render_settings.begin(), p.render_settings.end(),
                               [&](const auto& kv) { return kv.first == key; });
        if (it != p.render_settings.end())
            it->second = value;
        else
            p.render_settings.emplace_back(key, value);
    }
}

void set_simulated_render(resolve_sim::ProjectManager& pm, int polls) {
    pm.render_polls = polls;
    pm.simulated_render = true;
    for (auto& p : pm.projects) {
        p->render_polls = polls;
        p->simulated_render = true;
    }
}

JobStatus job_status(const RenderJob& j) {
    const RenderJob::Status s = j.current();
    JobStatus out{s, status_text(s), s == RenderJob::Status::Complete ? 100 : 0, ""};
    if (j.run) {
        std::lock_guard lock(j.run->m);
        out.percent = j.run->percent;
        out.error = j.run->error;
    }
    return out;
}

void delete_idle_jobs(resolve_sim::Project& p) {
    std::erase_if(p.jobs, [](const RenderJob& j) {
        return j.current() != RenderJob::Status::Rendering;
    });
    p.render_polls_left = 0;
}

std::optional<std::string> setting_text(std::string_view key, ValueType type,
                                        const std::string& text) {
    if (key == "FormatWidth" || key == "FormatHeight") {
        if (type != ValueType::Int) return std::nullopt;
        char* end = nullptr;
        errno = 0;
        const long long n = std::strtoll(text.c_str(), &end, 10);
        if (errno || *end || n < 2 || n > 16384 || n % 2) return std::nullopt;
        return std::to_string(n);
    }
    if (key == "VideoQuality") {
        if (type != ValueType::Int && type != ValueType::Text) return std::nullopt;
        return quality_of(text) ? std::optional(text) : std::nullopt;
    }
    if (key == "ExportVideo" || key == "ExportAudio")
        return type == ValueType::Bool ? std::optional(text) : std::nullopt;
    return text;
}

std::vector<std::pair<const char*, JobField>> job_fields(const resolve_sim::RenderJob& j) {
    return {{"JobId", j.id},
            {"TimelineName", j.timeline_name},
            {"TargetDir", j.target_dir},
            {"OutputFilename", j.custom_name},
            {"PresetName", j.preset},
            {"VideoFormat", j.format},
            {"VideoCodec", j.codec},
            {"FormatWidth", j.width},
            {"FormatHeight", j.height},
            {"IsExportVideo", j.export_video},
            {"IsExportAudio", j.export_audio}};
}

}  // namespace vestrel::render
