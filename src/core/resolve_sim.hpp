// An in-memory DaVinci Resolve: projects, media pools, timelines with their items, Fusion
// compositions of title and video items, and a render queue. It follows the rules a Resolve
// script relies on (absolute timeline frames, placements refused on occupied tracks, exact
// conversion between a clip's rate and the timeline's), so the whole Resolve layer above it
// runs without Resolve. Reading media files and template files is the binding's work; this
// core receives what was read.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "core/frames.hpp"

namespace vestrel::resolve_sim {

using frames::Rational;

// A Fusion input value: a number or a text.
using Value = std::variant<double, std::string>;

struct Tool {
    std::string name;    // "TOOLS_Name", e.g. "Template", "BrightnessContrast1"
    std::string reg_id;  // "TOOLS_RegID", e.g. "TextPlus"
    std::vector<std::pair<std::string, Value>> inputs;  // in the order first set

    const Value* input(const std::string& key) const;
    void set_input(const std::string& key, Value v);
};

struct Comp {
    std::string name;
    std::vector<std::shared_ptr<Tool>> tools;

    std::shared_ptr<Tool> find_tool(const std::string& name) const;
};

// A tool as a template or clip describes it; items get their own copies.
struct ToolDef {
    std::string name;
    std::string reg_id;
    std::vector<std::pair<std::string, Value>> inputs;
};

enum class ClipKind { Video, Audio, Title, Generator };

// What the binding read from a media file.
struct MediaInfo {
    bool has_video = false;
    bool has_audio = false;
    std::optional<Rational> rate;  // a video file's own rate
    double duration = 0.0;         // seconds, 0 when unknown
    int width = 0;
    int height = 0;
};

struct Clip {
    std::string name;  // "Clip Name"; also what GetName answers
    std::string file_path;
    ClipKind kind = ClipKind::Video;
    bool has_video = true;
    bool has_audio = false;
    Rational rate{24, 1};
    std::string fps_text = "24";
    int64_t frames = 0;  // its own length in source frames
    int width = 0;
    int height = 0;
    std::vector<ToolDef> fusion;  // the comp every timeline item of this clip starts with
    std::vector<std::pair<std::string, std::string>> extra;  // other properties set by name

    // Every clip property, as text, in a fixed order.
    std::vector<std::pair<std::string, std::string>> properties() const;
    std::optional<std::string> property(const std::string& key) const;
    bool set_property(const std::string& key, const std::string& value);
};

enum class TrackType { Video, Audio };

// How one audio track enters the mix: its level, and optionally the track whose sound lowers
// it (music ducked under the voice).
struct AudioTrackMix {
    double level_db = 0.0;
    int duck_under = 0;  // audio track index; 0: none
};


struct TimelineItem {
    std::shared_ptr<Clip> clip;
    std::string name;
    TrackType track_type = TrackType::Video;
    int track_index = 1;
    int64_t start = 0;        // absolute timeline frame
    int64_t duration = 0;     // timeline frames
    int64_t left_offset = 0;  // first source frame used
    std::vector<std::shared_ptr<Comp>> comps;

    int64_t end() const { return start + duration; }
    // A new empty comp, "Composition <n>" for the item's n-th.
    std::shared_ptr<Comp> add_comp();
};

using Track = std::vector<std::shared_ptr<TimelineItem>>;  // kept in time order

// One placement as a script asks for it. Absent keys take Resolve's defaults.
struct PlacementRequest {
    std::shared_ptr<Clip> clip;
    std::optional<int64_t> start_frame;
    std::optional<int64_t> end_frame;
    std::optional<int64_t> record_frame;
    std::optional<int64_t> track_index;
    std::optional<int64_t> media_type;
};

struct Timeline {
    std::string name;
    std::string rate_text;  // the "timelineFrameRate" setting as written
    Rational rate{24, 1};
    int64_t start_frame = 86400;
    int width = 1920;
    int height = 1080;
    std::vector<Track> video{1};
    std::vector<Track> audio{1};
    // Derived data the scripting layer keeps per timeline (the item lists it hands out),
    // opaque here; it goes with the timeline.
    std::shared_ptr<void> scripting_cache;
    std::vector<AudioTrackMix> audio_mix;  // by audio track, from 1; missing ones are plain

    int track_count(TrackType t) const;
    const Track* track(TrackType t, int64_t index) const;
    void add_track(TrackType t);
    int64_t end_frame() const;
    // Places one clip; returns the new items (video first), or nothing when the placement
    // is refused: no part of the clip matches the media type, an empty or reversed source
    // range, a track that does not exist, or a part that would overlap an item already there.
    std::vector<std::shared_ptr<TimelineItem>> append(const PlacementRequest& req);
    // Sets the frame rate from text ("30", "29.97 DF"); false when no rate leads the text.
    bool set_rate(const std::string& text);
    // The settings a script reads: "timelineFrameRate", "timelineResolutionWidth" and
    // "timelineResolutionHeight", as text, in this order.
    std::vector<std::pair<std::string, std::string>> settings() const;
    // Sets one of them from text. False for another name, a size that is not at least 1, and
    // a rate change once the timeline holds items (its rate is fixed then).
    bool set_setting(const std::string& name, const std::string& value);
};

// "video" or "audio" as a script names a track type; nullopt for anything else.
std::optional<TrackType> track_type_of(std::string_view name);

// A path's file name ("/a/b.mp4" -> "b.mp4") and that without its last ending ("b"; a name
// that starts with its only dot keeps it).
std::string file_name_of(std::string_view path);
std::string file_stem(std::string_view path);

struct TimelineDef {
    std::string name;
    std::string rate_text = "24";
    int width = 1920;
    int height = 1080;
    int video_tracks = 1;
    int audio_tracks = 1;
    std::vector<AudioTrackMix> audio_mix;
};

struct ClipDef {
    std::string name;
    ClipKind kind = ClipKind::Title;
    double duration = 5.0;  // seconds
    std::vector<ToolDef> fusion;
};

// A project template as read from a template file.
struct ProjectTemplate {
    std::vector<std::pair<std::string, std::string>> settings;
    std::vector<TimelineDef> timelines;
    std::string current_timeline;  // empty: the first
    std::vector<ClipDef> clips;
};

// The state of one job that really renders, shared between the queue (answering the
// script's questions) and the thread that runs the render. Guarded by its own mutex.
struct RenderRun {
    enum class State { Rendering, Complete, Failed, Cancelled };
    std::mutex m;
    State state = State::Rendering;
    int percent = 0;
    std::string error;
    long pid = 0;         // the running encoder, 0 when none
    bool cancel = false;  // asked to stop
};

struct RenderJob {
    std::string id;
    std::string timeline_name;
    std::string target_dir;
    std::string custom_name;
    std::string preset;
    std::string refused_preset;  // a preset name refused before this job was added
    std::string format = "mp4";
    std::string codec = "H264";
    int width = 0;  // 0: the timeline's
    int height = 0;
    std::string quality;  // "VideoQuality" as set, "" for automatic
    bool export_video = true;
    bool export_audio = true;
    enum class Status { Ready, Rendering, Complete, Cancelled, Failed } status = Status::Ready;
    std::shared_ptr<RenderRun> run;  // set once a real render of this job starts

    // The status, read from the running render when there is one.
    Status current() const;
};

struct Project;

struct Folder {
    std::string name = "Master";
    std::vector<std::shared_ptr<Clip>> clips;  // in import order
};

struct MediaPool {
    std::weak_ptr<Project> project;
    std::shared_ptr<Folder> root = std::make_shared<Folder>();
};

struct Project : std::enable_shared_from_this<Project> {
    std::string name;
    std::vector<std::pair<std::string, std::string>> settings;
    std::shared_ptr<MediaPool> media_pool;
    std::vector<std::shared_ptr<Timeline>> timelines;
    std::shared_ptr<Timeline> current_timeline;
    std::string render_preset;
    std::string refused_preset;  // the last name LoadRenderPreset refused, until one is taken
    std::string render_format = "mp4";
    std::string render_codec = "H264";
    std::vector<std::pair<std::string, std::string>> render_settings;
    // Started jobs only count polls (no file is written): a test's stand-in for a render.
    bool simulated_render = false;
    std::vector<RenderJob> jobs;
    int render_polls_left = 0;
    int render_polls = 0;  // answers of "in progress" a started render gives before it is done
    int next_job = 1;

    static std::shared_ptr<Project> make(const std::string& name);

    std::optional<std::string> setting(const std::string& key) const;
    void set_setting(const std::string& key, const std::string& value);
    // A script's SetSetting: refuses an empty name and a frame rate that reads as none.
    bool change_setting(const std::string& key, const std::string& value);
    Rational timeline_rate() const;

    std::shared_ptr<Timeline> find_timeline(const std::string& name) const;
    // A new empty timeline in the project's format; nullptr when the name is taken.
    std::shared_ptr<Timeline> create_timeline(const std::string& name);
    std::shared_ptr<Clip> import_media(const std::string& path, const std::string& clip_name,
                                       const MediaInfo& info);
    std::vector<std::shared_ptr<TimelineItem>> append(const std::vector<PlacementRequest>& reqs);

    // Render queue.
    std::string add_render_job();  // "" without a current timeline
    bool start_rendering(const std::vector<std::string>& ids);  // all ready jobs when empty
    // Simulated renders: each call is one poll. Real renders: whether one is running.
    bool rendering_in_progress();
    void stop_rendering();  // simulated renders only; real ones are stopped by their runner
    const RenderJob* job(const std::string& id) const;
    bool delete_render_job(const std::string& id);  // false if unknown or rendering
};

struct ProjectManager {
    std::vector<std::shared_ptr<Project>> projects;
    std::shared_ptr<Project> current;
    int render_polls = 0;
    bool simulated_render = false;

    std::shared_ptr<Project> find(const std::string& name) const;
    std::shared_ptr<Project> create_project(const std::string& name);  // nullptr if taken
    std::shared_ptr<Project> load_project(const std::string& name);    // nullptr if missing
    bool close_project(const std::shared_ptr<Project>& p);
    bool delete_project(const std::string& name);  // false if missing or open
    bool import_project(const ProjectTemplate& t, const std::string& name);
};

}  // namespace vestrel::resolve_sim
