#include "core/resolve_sim.hpp"

#include <algorithm>
#include <iterator>
#include <cmath>

namespace vestrel::resolve_sim {

// ---- Fusion ---------------------------------------------------------------------------

const Value* Tool::input(const std::string& key) const {
    for (const auto& [k, v] : inputs)
        if (k == key) return &v;
    return nullptr;
}

void Tool::set_input(const std::string& key, Value v) {
    for (auto& [k, old] : inputs)
        if (k == key) {
            old = std::move(v);
            return;
        }
    inputs.emplace_back(key, std::move(v));
}

std::shared_ptr<Tool> Comp::find_tool(const std::string& tool_name) const {
    for (const auto& t : tools)
        if (t->name == tool_name) return t;
    return nullptr;
}

namespace {

std::shared_ptr<Comp> comp_from(const std::string& name, const std::vector<ToolDef>& defs) {
    auto comp = std::make_shared<Comp>();
    comp->name = name;
    for (const ToolDef& s : defs) {
        auto t = std::make_shared<Tool>();
        t->name = s.name;
        t->reg_id = s.reg_id;
        t->inputs = s.inputs;
        comp->tools.push_back(std::move(t));
    }
    return comp;
}

// The comp of a video file's timeline item: its media, the two colour tools, the output.
std::vector<ToolDef> video_item_tools() {
    return {
        {"MediaIn1", "MediaIn", {}},
        {"BrightnessContrast1",
         "BrightnessContrast",
         {{"Gain", 1.0}, {"Contrast", 0.0}, {"Saturation", 1.0}}},
        {"ColorGain1", "ColorGain", {{"GainRed", 1.0}, {"GainGreen", 1.0}, {"GainBlue", 1.0}}},
        {"MediaOut1", "MediaOut", {}},
    };
}

const char* kind_text(const Clip& c) {
    switch (c.kind) {
        case ClipKind::Video: return c.has_audio ? "Video + Audio" : "Video";
        case ClipKind::Audio: return "Audio";
        case ClipKind::Title: return "Fusion Title";
        case ClipKind::Generator: return "Fusion Composition";
    }
    return "";
}

// hh:mm:ss:ff of a frame count at a rate's timecode base.
std::string timecode(int64_t frames, Rational rate) {
    const int64_t base = std::max<int64_t>(1, (rate.num + rate.den - 1) / rate.den);
    const int64_t ff = frames % base, total_s = frames / base;
    char buf[48];
    std::snprintf(buf, sizeof buf, "%02lld:%02lld:%02lld:%02lld",
                  static_cast<long long>(total_s / 3600), static_cast<long long>(total_s / 60 % 60),
                  static_cast<long long>(total_s % 60), static_cast<long long>(ff));
    return buf;
}

int64_t frames_of(double seconds, Rational rate) {
    if (!(seconds > 0.0)) return 0;
    return static_cast<int64_t>(std::llround(seconds * rate.value()));
}

}  // namespace

// ---- Clips ----------------------------------------------------------------------------

std::vector<std::pair<std::string, std::string>> Clip::properties() const {
    std::vector<std::pair<std::string, std::string>> p = {
        {"Clip Name", name},
        {"File Name", file_path.empty() ? name : file_path.substr(file_path.rfind('/') + 1)},
        {"File Path", file_path},
        {"Type", kind_text(*this)},
        {"FPS", fps_text},
        {"Frames", std::to_string(frames)},
        {"Duration", timecode(frames, rate)},
        {"Resolution", width > 0 ? std::to_string(width) + "x" + std::to_string(height) : ""},
    };
    for (const auto& e : extra) p.push_back(e);
    return p;
}

std::optional<std::string> Clip::property(const std::string& key) const {
    for (const auto& [k, v] : properties())
        if (k == key) return v;
    return std::nullopt;
}

bool Clip::set_property(const std::string& key, const std::string& value) {
    if (key == "Clip Name") {
        name = value;
        return true;
    }
    // Descriptive metadata is writable; what describes the media itself is not.
    static const char* writable[] = {"Comments", "Description", "Keywords", "Scene", "Shot",
                                     "Take", "Good Take"};
    for (const char* w : writable)
        if (key == w) {
            for (auto& [k, v] : extra)
                if (k == key) {
                    v = value;
                    return true;
                }
            extra.emplace_back(key, value);
            return true;
        }
    return false;
}

// ---- Timelines ------------------------------------------------------------------------

int Timeline::track_count(TrackType t) const {
    return static_cast<int>(t == TrackType::Video ? video.size() : audio.size());
}

const Track* Timeline::track(TrackType t, int64_t index) const {
    const auto& tracks = t == TrackType::Video ? video : audio;
    if (index < 1 || index > static_cast<int64_t>(tracks.size())) return nullptr;
    return &tracks[static_cast<size_t>(index - 1)];
}

void Timeline::add_track(TrackType t) { (t == TrackType::Video ? video : audio).emplace_back(); }

std::vector<std::pair<std::string, std::string>> Timeline::settings() const {
    return {{"timelineFrameRate", rate_text},
            {"timelineResolutionWidth", std::to_string(width)},
            {"timelineResolutionHeight", std::to_string(height)}};
}

bool Timeline::set_setting(const std::string& name, const std::string& value) {
    if (name == "timelineFrameRate") return end_frame() == start_frame && set_rate(value);
    auto n = frames::leading_number(value);
    if (!n || *n < 1) return false;
    if (name == "timelineResolutionWidth") return width = static_cast<int>(*n), true;
    if (name == "timelineResolutionHeight") return height = static_cast<int>(*n), true;
    return false;
}

std::shared_ptr<Comp> TimelineItem::add_comp() {
    auto c = std::make_shared<Comp>();
    c->name = "Composition " + std::to_string(comps.size() + 1);
    comps.push_back(c);
    return c;
}

std::optional<TrackType> track_type_of(std::string_view name) {
    if (name == "video") return TrackType::Video;
    if (name == "audio") return TrackType::Audio;
    return std::nullopt;
}

std::string file_name_of(std::string_view path) {
    return std::string(path.substr(path.rfind('/') + 1));
}

std::string file_stem(std::string_view path) {
    std::string base = file_name_of(path);
    const size_t dot = base.rfind('.');
    return dot == std::string::npos || dot == 0 ? base : base.substr(0, dot);
}

int64_t Timeline::end_frame() const {
    // Items of a track are in time order and never overlap (append refuses overlaps), so the
    // last item of each track ends latest: one look per track, not one per item.
    int64_t end = start_frame;
    for (const auto* tracks : {&video, &audio})
        for (const Track& tr : *tracks)
            if (!tr.empty()) end = std::max(end, tr.back()->end());
    return end;
}

bool Timeline::set_rate(const std::string& text) {
    auto r = frames::rate_from_text(text);
    if (!r) return false;
    rate = *r;
    rate_text = text;
    return true;
}

std::vector<std::shared_ptr<TimelineItem>> Timeline::append(const PlacementRequest& req) {
    if (!req.clip) return {};
    const Clip& clip = *req.clip;
    const int64_t media_type = req.media_type.value_or(0);
    bool want_video = false, want_audio = false;
    if (media_type == 0) {
        want_video = clip.has_video;
        want_audio = clip.has_audio;
    } else if (media_type == 1) {
        want_video = clip.has_video;
    } else if (media_type == 2) {
        want_audio = clip.has_audio;
    }
    if (!want_video && !want_audio) return {};

    const int64_t first = req.start_frame.value_or(0);
    const int64_t last = req.end_frame.value_or(clip.frames - 1);
    if (first < 0 || last < first) return {};
    const int64_t length = frames::to_timeline_frames(last - first + 1, clip.rate, rate);
    if (length <= 0) return {};
    const int64_t index = req.track_index.value_or(1);
    const int64_t record = req.record_frame.value_or(end_frame());

    std::vector<std::pair<TrackType, const Track*>> parts;
    if (want_video) parts.emplace_back(TrackType::Video, track(TrackType::Video, index));
    if (want_audio) parts.emplace_back(TrackType::Audio, track(TrackType::Audio, index));
    for (const auto& [type, tr] : parts) {
        if (!tr) return {};
        // Items in time order without overlaps end in time order too: of the items starting
        // before the new one ends, only the last can reach past its start. A binary search
        // keeps filling a track of n items at O(n log n) instead of O(n^2).
        auto after = std::lower_bound(tr->begin(), tr->end(), record + length,
                                      [](const auto& it, int64_t e) { return it->start < e; });
        if (after != tr->begin() && record < (*std::prev(after))->end()) return {};
    }

    std::vector<std::shared_ptr<TimelineItem>> placed;
    for (const auto& [type, tr] : parts) {
        auto item = std::make_shared<TimelineItem>();
        item->clip = req.clip;
        item->name = clip.name;
        item->track_type = type;
        item->track_index = static_cast<int>(index);
        item->start = record;
        item->duration = length;
        item->left_offset = first;
        if (type == TrackType::Video) {
            if (clip.kind == ClipKind::Video)
                item->comps.push_back(comp_from("Composition 1", video_item_tools()));
            else if (!clip.fusion.empty())
                item->comps.push_back(comp_from("Composition 1", clip.fusion));
        }
        Track& dest = (type == TrackType::Video ? video : audio)[static_cast<size_t>(index - 1)];
        auto pos = std::upper_bound(dest.begin(), dest.end(), record,
                                    [](int64_t r, const auto& it) { return r < it->start; });
        dest.insert(pos, item);
        placed.push_back(std::move(item));
    }
    return placed;
}

// ---- Projects -------------------------------------------------------------------------

std::shared_ptr<Project> Project::make(const std::string& project_name) {
    auto p = std::make_shared<Project>();
    p->name = project_name;
    p->settings = {{"timelineFrameRate", "24"},
                   {"timelineResolutionWidth", "1920"},
                   {"timelineResolutionHeight", "1080"}};
    p->media_pool = std::make_shared<MediaPool>();
    p->media_pool->project = p;
    return p;
}

std::optional<std::string> Project::setting(const std::string& key) const {
    for (const auto& [k, v] : settings)
        if (k == key) return v;
    return std::nullopt;
}

bool Project::change_setting(const std::string& key, const std::string& value) {
    if (key.empty()) return false;
    if (key == "timelineFrameRate" && !frames::rate_from_text(value)) return false;
    set_setting(key, value);
    return true;
}

void Project::set_setting(const std::string& key, const std::string& value) {
    for (auto& [k, v] : settings)
        if (k == key) {
            v = value;
            return;
        }
    settings.emplace_back(key, value);
}

Rational Project::timeline_rate() const {
    auto text = setting("timelineFrameRate");
    auto r = text ? frames::rate_from_text(*text) : std::nullopt;
    return r ? *r : Rational{24, 1};
}

std::shared_ptr<Timeline> Project::find_timeline(const std::string& timeline_name) const {
    for (const auto& t : timelines)
        if (t->name == timeline_name) return t;
    return nullptr;
}

std::shared_ptr<Timeline> Project::create_timeline(const std::string& timeline_name) {
    if (timeline_name.empty() || find_timeline(timeline_name)) return nullptr;
    auto t = std::make_shared<Timeline>();
    t->name = timeline_name;
    const std::string rate = setting("timelineFrameRate").value_or("24");
    if (!t->set_rate(rate)) t->set_rate("24");
    t->start_frame = frames::one_hour_frames(t->rate);
    auto num = [&](const char* key, int fallback) {
        auto v = setting(key);
        if (!v) return fallback;
        auto n = frames::leading_number(*v);
        return n && *n > 0 ? static_cast<int>(*n) : fallback;
    };
    t->width = num("timelineResolutionWidth", 1920);
    t->height = num("timelineResolutionHeight", 1080);
    timelines.push_back(t);
    return t;
}

std::shared_ptr<Clip> Project::import_media(const std::string& path, const std::string& clip_name,
                                            const MediaInfo& info) {
    if (!info.has_video && !info.has_audio) return nullptr;
    auto c = std::make_shared<Clip>();
    c->name = clip_name;
    c->file_path = path;
    c->has_video = info.has_video;
    c->has_audio = info.has_audio;
    c->kind = info.has_video ? ClipKind::Video : ClipKind::Audio;
    // Audio has no frames of its own: it counts in the project's timeline rate.
    c->rate = info.has_video && info.rate ? *info.rate : timeline_rate();
    c->fps_text = frames::rate_text(c->rate);
    c->frames = frames_of(info.duration, c->rate);
    c->width = info.width;
    c->height = info.height;
    media_pool->root->clips.push_back(c);
    return c;
}

std::vector<std::shared_ptr<TimelineItem>> Project::append(
    const std::vector<PlacementRequest>& reqs) {
    std::vector<std::shared_ptr<TimelineItem>> all;
    if (!current_timeline) return all;
    for (const PlacementRequest& r : reqs) {
        auto placed = current_timeline->append(r);
        all.insert(all.end(), placed.begin(), placed.end());
    }
    return all;
}

RenderJob::Status RenderJob::current() const {
    if (!run) return status;
    std::lock_guard lock(run->m);
    switch (run->state) {
        case RenderRun::State::Rendering: return Status::Rendering;
        case RenderRun::State::Complete: return Status::Complete;
        case RenderRun::State::Failed: return Status::Failed;
        case RenderRun::State::Cancelled: return Status::Cancelled;
    }
    return status;
}

std::string Project::add_render_job() {
    if (!current_timeline) return "";
    RenderJob job;
    job.id = "sim-job-" + std::to_string(next_job++);
    job.timeline_name = current_timeline->name;
    job.preset = render_preset;
    job.refused_preset = refused_preset;
    job.format = render_format;
    job.codec = render_codec;
    auto whole = [](const std::string& v) {
        auto n = frames::leading_number(v);
        return n && *n >= 1 ? static_cast<int>(*n) : 0;
    };
    for (const auto& [k, v] : render_settings) {
        if (k == "TargetDir") job.target_dir = v;
        if (k == "CustomName") job.custom_name = v;
        if (k == "FormatWidth") job.width = whole(v);
        if (k == "FormatHeight") job.height = whole(v);
        if (k == "VideoQuality") job.quality = v;
        if (k == "ExportVideo") job.export_video = v != "False" && v != "0";
        if (k == "ExportAudio") job.export_audio = v != "False" && v != "0";
    }
    jobs.push_back(job);
    return job.id;
}

bool Project::start_rendering(const std::vector<std::string>& ids) {
    bool any = false;
    for (RenderJob& j : jobs) {
        const bool chosen = ids.empty() || std::find(ids.begin(), ids.end(), j.id) != ids.end();
        if (chosen && j.status == RenderJob::Status::Ready) {
            j.status = RenderJob::Status::Rendering;
            any = true;
        }
    }
    if (any) render_polls_left = render_polls;
    return any;
}

bool Project::rendering_in_progress() {
    if (!simulated_render) {
        for (const RenderJob& j : jobs)
            if (j.current() == RenderJob::Status::Rendering) return true;
        return false;
    }
    bool rendering = false;
    for (const RenderJob& j : jobs) rendering |= j.status == RenderJob::Status::Rendering;
    if (!rendering) return false;
    if (render_polls_left > 0) {
        --render_polls_left;
        return true;
    }
    // The queue is done: every started job is complete.
    for (RenderJob& j : jobs)
        if (j.status == RenderJob::Status::Rendering) j.status = RenderJob::Status::Complete;
    return false;
}

void Project::stop_rendering() {
    for (RenderJob& j : jobs)
        if (!j.run && j.status == RenderJob::Status::Rendering) j.status = RenderJob::Status::Cancelled;
    render_polls_left = 0;
}

const RenderJob* Project::job(const std::string& id) const {
    for (const RenderJob& j : jobs)
        if (j.id == id) return &j;
    return nullptr;
}

bool Project::delete_render_job(const std::string& id) {
    for (auto it = jobs.begin(); it != jobs.end(); ++it)
        if (it->id == id) {
            if (it->current() == RenderJob::Status::Rendering) return false;
            jobs.erase(it);
            return true;
        }
    return false;
}

// ---- Project manager ------------------------------------------------------------------

std::shared_ptr<Project> ProjectManager::find(const std::string& project_name) const {
    for (const auto& p : projects)
        if (p->name == project_name) return p;
    return nullptr;
}

std::shared_ptr<Project> ProjectManager::create_project(const std::string& project_name) {
    if (project_name.empty() || find(project_name)) return nullptr;
    auto p = Project::make(project_name);
    p->render_polls = render_polls;
    p->simulated_render = simulated_render;
    projects.push_back(p);
    current = p;
    return p;
}

std::shared_ptr<Project> ProjectManager::load_project(const std::string& project_name) {
    auto p = find(project_name);
    if (p) current = p;
    return p;
}

bool ProjectManager::close_project(const std::shared_ptr<Project>& p) {
    if (!p || p != current) return false;
    current = nullptr;
    return true;
}

bool ProjectManager::delete_project(const std::string& project_name) {
    auto p = find(project_name);
    if (!p || p == current) return false;
    projects.erase(std::find(projects.begin(), projects.end(), p));
    return true;
}

bool ProjectManager::import_project(const ProjectTemplate& t, const std::string& project_name) {
    if (project_name.empty() || find(project_name)) return false;
    auto p = Project::make(project_name);
    p->render_polls = render_polls;
    p->simulated_render = simulated_render;
    for (const auto& [k, v] : t.settings) p->set_setting(k, v);
    for (const TimelineDef& desc : t.timelines) {
        auto tl = std::make_shared<Timeline>();
        tl->name = desc.name;
        if (!tl->set_rate(desc.rate_text)) return false;
        tl->start_frame = frames::one_hour_frames(tl->rate);
        tl->width = desc.width;
        tl->height = desc.height;
        tl->video.assign(static_cast<size_t>(std::max(desc.video_tracks, 1)), Track{});
        tl->audio.assign(static_cast<size_t>(std::max(desc.audio_tracks, 1)), Track{});
        tl->audio_mix = desc.audio_mix;
        p->timelines.push_back(tl);
    }
    if (!p->timelines.empty()) {
        p->current_timeline = p->timelines.front();
        if (!t.current_timeline.empty())
            if (auto cur = p->find_timeline(t.current_timeline)) p->current_timeline = cur;
    }
    const Rational rate = p->timeline_rate();
    for (const ClipDef& desc : t.clips) {
        auto c = std::make_shared<Clip>();
        c->name = desc.name;
        c->kind = desc.kind;
        c->has_video = true;
        c->has_audio = false;
        c->rate = rate;
        c->fps_text = frames::rate_text(rate);
        c->frames = frames_of(desc.duration, rate);
        c->fusion = desc.fusion;
        p->media_pool->root->clips.push_back(std::move(c));
    }
    projects.push_back(p);
    return true;
}

}  // namespace vestrel::resolve_sim
