// The simulator's render queue. A started job freezes its timeline and renders it in a
// background thread with ffmpeg (a child process, its -progress output read for the
// percentage); the thread touches no Python object. Files are written under a temporary name
// in the target folder and renamed when complete, so a failed or stopped render leaves no
// file under the final name.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "bindings/common/pyutil.hpp"
#include "bindings/resolve_sim/parts.hpp"
#include "core/fonts.hpp"
#include "core/render.hpp"

extern char** environ;

namespace vestrel::sim {

namespace {

using namespace vestrel::py;
using core::Project;
using core::RenderJob;
using core::RenderRun;
namespace fs = std::filesystem;

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

// ---- child processes ----------------------------------------------------------------------

struct ChildResult {
    bool started = false;
    int status = 0;      // waitpid status
    std::string errors;  // the end of its standard error
};

// Runs ffmpeg with `args` in `folder`, with FONTCONFIG_FILE set when a configuration is given.
// Each line of its standard output goes to `on_line`; `on_start` receives its process id.
template <typename OnStart, typename OnLine>
ChildResult run_ffmpeg(const std::vector<std::string>& args, const std::string& folder,
                       const std::string& fonts_conf, OnStart on_start, OnLine on_line) {
    ChildResult r;
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        r.errors = std::strerror(errno);
        return r;
    }
    if (pipe2(err, O_CLOEXEC) != 0) {
        r.errors = std::strerror(errno);
        close(out[0]);
        close(out[1]);
        return r;
    }
    std::vector<std::string> env_text;
    for (char** e = environ; *e; ++e)
        if (fonts_conf.empty() || std::strncmp(*e, "FONTCONFIG_FILE=", 16) != 0)
            env_text.emplace_back(*e);
    if (!fonts_conf.empty()) env_text.push_back("FONTCONFIG_FILE=" + fonts_conf);
    std::vector<char*> envp, argv;
    for (auto& e : env_text) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> arg_text{"ffmpeg"};
    arg_text.insert(arg_text.end(), args.begin(), args.end());
    for (auto& a : arg_text) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    if (!folder.empty()) posix_spawn_file_actions_addchdir_np(&fa, folder.c_str());
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, "ffmpeg", &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    close(err[1]);
    if (rc != 0) {
        r.errors = rc == ENOENT ? "ffmpeg is not installed" : std::strerror(rc);
        close(out[0]);
        close(err[0]);
        return r;
    }
    r.started = true;
    on_start(static_cast<long>(pid));

    std::string line_buf;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open_fds = 2;
    char buf[4096];
    while (open_fds > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_fds;
                continue;
            }
            if (i == 0) {
                line_buf.append(buf, static_cast<size_t>(n));
                size_t nl;
                while ((nl = line_buf.find('\n')) != std::string::npos) {
                    on_line(line_buf.substr(0, nl));
                    line_buf.erase(0, nl + 1);
                }
            } else {
                r.errors.append(buf, static_cast<size_t>(n));
                if (r.errors.size() > 8192) r.errors.erase(0, r.errors.size() - 4096);
            }
        }
    }
    while (waitpid(pid, &r.status, 0) < 0 && errno == EINTR) {
    }
    return r;
}

// The last non-empty line of a child's error output.
std::string last_line(const std::string& text) {
    size_t end = text.find_last_not_of(" \r\n\t");
    if (end == std::string::npos) return "";
    size_t start = text.rfind('\n', end);
    return text.substr(start == std::string::npos ? 0 : start + 1, end + 1 - (start == std::string::npos ? 0 : start + 1));
}

// Why a finished ffmpeg failed; "" when it succeeded.
std::string failure_of(const ChildResult& r) {
    if (!r.started) return "Could not start ffmpeg: " + r.errors;
    if (WIFSIGNALED(r.status))
        return "ffmpeg was killed by signal " + std::to_string(WTERMSIG(r.status));
    if (WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0) return "";
    const std::string why = last_line(r.errors);
    return "ffmpeg failed (exit status " + std::to_string(WEXITSTATUS(r.status)) + ")" +
           (why.empty() ? "" : ": " + why);
}

// A private folder for the scripts of one run, removed when the holder goes.
struct WorkFolder {
    std::string path;
    WorkFolder() {
        const char* tmp = std::getenv("TMPDIR");
        std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/vestrel-render-XXXXXX";
        if (mkdtemp(tmpl.data())) path = tmpl;
    }
    ~WorkFolder() {
        std::error_code ec;
        if (!path.empty()) fs::remove_all(path, ec);
    }
    bool write(const std::string& name, const std::string& text) const {
        std::ofstream f(path + "/" + name, std::ios::binary);
        f << text;
        return static_cast<bool>(f);
    }
};

std::string missing_fonts_text(const std::vector<std::pair<std::string, std::string>>& absent) {
    std::string names;
    for (const auto& [family, style] : absent)
        names += (names.empty() ? "" : ", ") + family + " " + style;
    return "Title font not installed: " + names;
}

// ---- renders still running when the process ends -------------------------------------------

// The encoders running now, with the temporary files they write. When the process exits
// during a render, its encoder is killed and its temporary file removed, so no orphan keeps
// writing and nothing is left in the target folder. Never destroyed: the exit handler runs
// after static objects may have gone.
struct Running {
    std::mutex m;
    std::map<long, std::string> files;  // encoder pid -> temporary file
};

Running& running() {
    static Running* r = [] {
        auto* r = new Running();
        std::atexit([] {
            Running& all = running();
            std::lock_guard lock(all.m);
            for (const auto& [pid, file] : all.files) {
                kill(static_cast<pid_t>(pid), SIGKILL);
                unlink(file.c_str());
            }
        });
        return r;
    }();
    return *r;
}

// ---- one render ---------------------------------------------------------------------------

struct Task {
    std::shared_ptr<RenderRun> run;
    std::string job_id;
    std::string refused;  // why the job cannot render at all, found while starting
    render::Snapshot snapshot;
    render::Output output;
    std::string target_dir;
    std::string name;  // the final file's name
};

void finish(RenderRun& run, RenderRun::State state, const std::string& error = "") {
    std::lock_guard lock(run.m);
    run.pid = 0;
    if (run.cancel && state != RenderRun::State::Complete) {
        run.state = RenderRun::State::Cancelled;
        return;
    }
    run.state = state;
    run.error = error;
    if (state == RenderRun::State::Complete) run.percent = 100;
}

// Gives every title the line height per em of its font, so that its size is the em.
void size_titles(render::Snapshot& s, const std::string& fonts_conf) {
    std::map<std::pair<std::string, std::string>, double> known;
    for (render::VideoLayer& l : s.video) {
        if (l.kind != render::VideoLayer::Kind::Title) continue;
        const std::pair key{l.style.font, l.style.style};
        auto it = known.find(key);
        if (it == known.end())
            it = known.emplace(key, fonts::line_per_em(key.first, key.second, fonts_conf).value_or(1.0)).first;
        l.style.line_per_em = it->second;
    }
}

void render_one(Task& t, const std::string& fonts_conf) {
    RenderRun& run = *t.run;
    {
        std::lock_guard lock(run.m);
        if (run.cancel) {
            run.state = RenderRun::State::Cancelled;
            return;
        }
    }
    if (!t.refused.empty()) return finish(run, RenderRun::State::Failed, t.refused);
    if (t.target_dir.empty())
        return finish(run, RenderRun::State::Failed, "No render target folder is set (TargetDir)");
    std::error_code ec;
    if (!fs::is_directory(t.target_dir, ec))
        return finish(run, RenderRun::State::Failed,
                      "Render target folder does not exist: " + t.target_dir);
    if (access(t.target_dir.c_str(), W_OK | X_OK) != 0)
        return finish(run, RenderRun::State::Failed,
                      "Render target folder is not writable: " + t.target_dir);
    const fs::path final_path = fs::path(t.target_dir) / t.name;
    const fs::path part_path =
        fs::path(t.target_dir) / ("." + t.name + "." + t.job_id + ".part");
    t.output.path = fs::absolute(part_path, ec).string();

    size_titles(t.snapshot, fonts_conf);
    render::Plan plan;
    try {
        plan = render::plan(t.snapshot, t.output);
    } catch (const render::PlanError& e) {
        return finish(run, RenderRun::State::Failed, e.what());
    }
    for (const std::string& src : plan.sources)
        if (!fs::is_regular_file(src, ec))
            return finish(run, RenderRun::State::Failed, "Source file not found: " + src);
    if (auto absent = fonts::missing(plan.fonts, fonts_conf); !absent.empty())
        return finish(run, RenderRun::State::Failed, missing_fonts_text(absent));

    WorkFolder work;
    if (work.path.empty())
        return finish(run, RenderRun::State::Failed, "Could not create a temporary folder");
    for (const auto& [name, text] : plan.scripts)
        if (!work.write(name, text))
            return finish(run, RenderRun::State::Failed, "Could not write the title script");

    const int64_t total = plan.frames;
    ChildResult r = run_ffmpeg(
        plan.args, work.path, fonts_conf,
        [&](long pid) {
            {
                std::lock_guard lock(running().m);
                running().files[pid] = part_path.string();
            }
            std::lock_guard lock(run.m);
            run.pid = pid;
            if (run.cancel) kill(static_cast<pid_t>(pid), SIGKILL);
        },
        [&](const std::string& line) {
            auto frame = render::progress_frame(line);
            if (!frame || total <= 0) return;
            std::lock_guard lock(run.m);
            run.percent = static_cast<int>(std::clamp<int64_t>(*frame * 100 / total, 0, 99));
        });
    {
        std::lock_guard lock(running().m);
        std::erase_if(running().files, [&](const auto& e) { return e.second == part_path.string(); });
    }
    std::string why = failure_of(r);
    if (why.empty() && !fs::is_regular_file(part_path, ec)) why = "ffmpeg wrote no file";
    if (why.empty()) {
        fs::rename(part_path, final_path, ec);
        if (ec) why = "Could not rename the rendered file to " + final_path.string() + ": " + ec.message();
    }
    if (!why.empty()) {
        fs::remove(part_path, ec);
        return finish(run, RenderRun::State::Failed, why);
    }
    finish(run, RenderRun::State::Complete);
}

std::string fonts_conf_path() {
    nb::object os_path = import("os").attr("path");
    nb::object here = os_path.attr("dirname")(import("vestrel.resolve_sim").attr("__file__"));
    nb::object conf = os_path.attr("join")(here, "fonts", "fonts.conf");
    return nb::cast<bool>(os_path.attr("isfile")(conf)) ? utf8(conf) : std::string();
}

// ---- the queue's answers ------------------------------------------------------------------

nb::dict job_dict(const RenderJob& j) {
    nb::dict d;
    d["JobId"] = j.id;
    d["TimelineName"] = j.timeline_name;
    d["TargetDir"] = j.target_dir;
    d["OutputFilename"] = j.custom_name;
    d["PresetName"] = j.preset;
    d["VideoFormat"] = j.format;
    d["VideoCodec"] = j.codec;
    d["FormatWidth"] = j.width;
    d["FormatHeight"] = j.height;
    d["IsExportVideo"] = j.export_video;
    d["IsExportAudio"] = j.export_audio;
    return d;
}

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

// A render setting's value as text, or nullopt when Resolve would refuse it.
std::optional<std::string> setting_value(const std::string& key, nb::handle v) {
    if (key == "FormatWidth" || key == "FormatHeight") {
        if (!PyLong_CheckExact(v.ptr())) return std::nullopt;
        const long long n = nb::cast<long long>(v);
        if (n < 2 || n > 16384 || n % 2) return std::nullopt;
        return std::to_string(n);
    }
    if (key == "VideoQuality") {
        std::string text;
        if (PyLong_CheckExact(v.ptr()))
            text = str(v);
        else if (PyUnicode_Check(v.ptr()))
            text = utf8(v);
        else
            return std::nullopt;
        if (!render::quality_of(text)) return std::nullopt;
        return text;
    }
    if (key == "ExportVideo" || key == "ExportAudio") {
        if (!PyBool_Check(v.ptr())) return std::nullopt;
        return v.ptr() == Py_True ? "True" : "False";
    }
    return str(v);
}

bool start(Project& p, const std::vector<std::string>& ids) {
    if (p.simulated_render) return p.start_rendering(ids);
    if (p.rendering_in_progress()) return false;
    std::vector<Task> tasks;
    for (RenderJob& j : p.jobs) {
        const bool chosen = ids.empty() || std::find(ids.begin(), ids.end(), j.id) != ids.end();
        if (!chosen || j.status != RenderJob::Status::Ready) continue;
        Task t;
        t.run = std::make_shared<RenderRun>();
        t.job_id = j.id;
        std::error_code ec;
        // Relative names mean the same as now however long the job waits; ffmpeg runs in a
        // folder of its own.
        t.target_dir = j.target_dir.empty() ? "" : fs::absolute(j.target_dir, ec).string();
        t.name = (j.custom_name.empty() ? j.timeline_name : j.custom_name) + ".mp4";
        if (!j.refused_preset.empty()) t.refused = "Unknown render preset: " + j.refused_preset;
        auto tl = p.find_timeline(j.timeline_name);
        if (!tl && t.refused.empty()) t.refused = "Timeline '" + j.timeline_name + "' not found";
        if (tl) {
            t.snapshot = render::snapshot_of(*tl);
            for (auto& l : t.snapshot.video)
                if (!l.path.empty()) l.path = fs::absolute(l.path, ec).string();
            for (auto& a : t.snapshot.audio)
                if (!a.path.empty()) a.path = fs::absolute(a.path, ec).string();
        }
        if (j.format != "mp4" && t.refused.empty())
            t.refused = "Unsupported render format: " + j.format;
        t.output.width = j.width;
        t.output.height = j.height;
        t.output.codec = j.codec;
        const auto q = render::quality_of(j.quality).value_or(render::Quality{});
        t.output.crf = q.crf;
        t.output.bitrate_kbps = q.bitrate_kbps;
        t.output.video = j.export_video;
        t.output.audio = j.export_audio;
        j.status = RenderJob::Status::Rendering;
        j.run = t.run;
        tasks.push_back(std::move(t));
    }
    if (tasks.empty()) return false;
    std::thread([tasks = std::move(tasks), conf = fonts_conf_path()]() mutable {
        for (Task& t : tasks) render_one(t, conf);
    }).detach();
    return true;
}

// Stops every running job and waits (a few seconds at most) until their runs have ended and
// cleaned up, so that the queue answers "Cancelled" as soon as the call returns.
void stop(Project& p) {
    if (p.simulated_render) return p.stop_rendering();
    std::vector<std::shared_ptr<RenderRun>> stopped;
    for (RenderJob& j : p.jobs) {
        if (!j.run) continue;
        std::lock_guard lock(j.run->m);
        if (j.run->state != RenderRun::State::Rendering) continue;
        j.run->cancel = true;
        if (j.run->pid > 0) kill(static_cast<pid_t>(j.run->pid), SIGKILL);
        stopped.push_back(j.run);
    }
    nb::gil_scoped_release release;
    for (int i = 0; i < 1000; ++i) {
        bool running = false;
        for (const auto& run : stopped) {
            std::lock_guard lock(run->m);
            running |= run->state == RenderRun::State::Rendering;
        }
        if (!running) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace

void set_simulated_render(core::ProjectManager& pm, int polls) {
    pm.render_polls = polls;
    pm.simulated_render = true;
    for (auto& p : pm.projects) {
        p->render_polls = polls;
        p->simulated_render = true;
    }
}

void register_render(nb::class_<Project>& project) {
    project
        .def("LoadRenderPreset",
             [](Project& p, const std::string& name) {
                 for (const Preset& preset : kPresets)
                     if (name == preset.name) {
                         p.render_preset = name;
                         p.refused_preset.clear();
                         p.render_format = "mp4";
                         p.render_codec = preset.codec;
                         auto set = [&](const char* key, int v) {
                             const std::string text = v ? std::to_string(v) : "";
                             for (auto& [k, old] : p.render_settings)
                                 if (k == key) return void(old = text);
                             p.render_settings.emplace_back(key, text);
                         };
                         set("FormatWidth", preset.width);
                         set("FormatHeight", preset.height);
                         return true;
                     }
                 // Remembered so that a job queued next does not silently render with other
                 // settings (callers often ignore this answer).
                 p.refused_preset = name;
                 return false;
             })
        .def("GetRenderPresetList",
             [](Project&) {
                 std::vector<std::string> names;
                 for (const Preset& preset : kPresets) names.emplace_back(preset.name);
                 return names;
             })
        .def("SetRenderSettings",
             [](Project& p, nb::dict settings) {
                 std::vector<std::pair<std::string, std::string>> values;
                 for (auto [k, v] : settings) {
                     auto value = setting_value(str(k), v);
                     if (!value) return false;
                     values.emplace_back(str(k), *value);
                 }
                 for (const auto& [key, value] : values) {
                     bool found = false;
                     for (auto& [ok, ov] : p.render_settings)
                         if (ok == key) ov = value, found = true;
                     if (!found) p.render_settings.emplace_back(key, value);
                 }
                 return true;
             })
        .def("GetRenderFormats", [](Project&) {
            nb::dict d;
            d["MP4"] = "mp4";
            return d;
        })
        .def("GetRenderCodecs", [](Project&, const std::string& format) {
            nb::dict d;
            if (format == "mp4") {
                d["H.264"] = "H264";
                d["H.265"] = "H265";
            }
            return d;
        })
        .def("GetCurrentRenderFormatAndCodec", [](Project& p) {
            nb::dict d;
            d["format"] = p.render_format;
            d["codec"] = p.render_codec;
            return d;
        })
        .def("SetCurrentRenderFormatAndCodec",
             [](Project& p, const std::string& format, const std::string& codec) {
                 if (format != "mp4" || (codec != "H264" && codec != "H265")) return false;
                 p.render_format = format;
                 p.render_codec = codec;
                 return true;
             })
        .def("AddRenderJob", [](Project& p) { return p.add_render_job(); })
        .def("StartRendering",
             [](Project& p, nb::args args, nb::kwargs) {
                 std::vector<std::string> ids;
                 for (nb::handle a : args) {
                     if (PyList_Check(a.ptr()) || PyTuple_Check(a.ptr())) {
                         for (nb::handle id : a) ids.push_back(str(id));
                     } else if (PyUnicode_Check(a.ptr())) {
                         ids.push_back(utf8(a));
                     }
                 }
                 // An empty job identifier names no job: nothing starts.
                 if (!args.empty() && ids.empty()) return false;
                 for (const std::string& id : ids)
                     if (id.empty()) return false;
                 return start(p, ids);
             })
        .def("IsRenderingInProgress", [](Project& p) { return p.rendering_in_progress(); })
        .def("StopRendering", [](Project& p) { stop(p); })
        .def("GetRenderJobList",
             [](Project& p) {
                 nb::list jobs;
                 for (const auto& j : p.jobs) jobs.append(job_dict(j));
                 return jobs;
             })
        .def("GetRenderJobStatus",
             [](Project& p, const std::string& id) {
                 nb::dict d;
                 const RenderJob* j = p.job(id);
                 if (!j) return d;
                 const RenderJob::Status s = j->current();
                 int percent = s == RenderJob::Status::Complete ? 100 : 0;
                 std::string error;
                 if (j->run) {
                     std::lock_guard lock(j->run->m);
                     percent = j->run->percent;
                     error = j->run->error;
                 }
                 d["JobStatus"] = status_text(s);
                 d["CompletionPercentage"] = percent;
                 if (s == RenderJob::Status::Failed) d["Error"] = error;
                 return d;
             })
        .def("DeleteRenderJob",
             [](Project& p, const std::string& id) { return p.delete_render_job(id); })
        .def("DeleteAllRenderJobs", [](Project& p) {
            std::erase_if(p.jobs, [](const RenderJob& j) {
                return j.current() != RenderJob::Status::Rendering;
            });
            p.render_polls_left = 0;
            return true;
        });
}

void render_title_png(const core::Timeline& timeline, const core::TimelineItem& item,
                      const std::string& png_path) {
    render::Snapshot one;
    {
        core::Timeline alone;
        alone.name = timeline.name;
        alone.width = timeline.width;
        alone.height = timeline.height;
        alone.rate = timeline.rate;
        alone.start_frame = timeline.start_frame;
        alone.video.assign(1, core::Track{});
        core::TimelineItem copy = item;
        copy.start = timeline.start_frame;
        alone.video[0].push_back(std::make_shared<core::TimelineItem>(copy));
        one = render::snapshot_of(alone);
    }
    if (one.video.empty() || one.video.front().kind != render::VideoLayer::Kind::Title)
        raise(PyExc_ValueError, "'" + item.name + "' is not a title with text");
    render::VideoLayer& title = one.video.front();
    if (!render::face_of_style(title.style.style))
        raise(PyExc_RuntimeError, "Unknown font style '" + title.style.style + "' of title '" +
                                      item.name + "'");
    const std::string conf = fonts_conf_path();
    std::error_code ec;
    const std::string target = fs::absolute(png_path, ec).string();
    std::string why;
    {
        nb::gil_scoped_release release;
        auto absent = fonts::missing({{title.style.font, title.style.style}}, conf);
        size_titles(one, conf);
        const std::string script =
            render::single_title_script(title, timeline.width, timeline.height);
        WorkFolder work;
        if (!absent.empty())
            why = missing_fonts_text(absent);
        else if (work.path.empty() || !work.write("title.ass", script))
            why = "Could not write the title script";
        else
            why = failure_of(run_ffmpeg(render::title_png_args(timeline.width, timeline.height, target),
                                        work.path, conf, [](long) {}, [](const std::string&) {}));
    }
    if (!why.empty()) raise(PyExc_RuntimeError, why);
}

}  // namespace vestrel::sim
