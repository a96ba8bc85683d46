#include "core/render_run.hpp"

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

#include "core/fonts.hpp"

extern char** environ;

namespace vestrel::render {

namespace {

namespace fs = std::filesystem;
using resolve_sim::RenderJob;
using resolve_sim::RenderRun;

// The environment of a child: ours, with FONTCONFIG_FILE replaced when one is given.
std::vector<std::string> child_environment(const std::string& fonts_conf) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (fonts_conf.empty() || std::strncmp(*e, "FONTCONFIG_FILE=", 16) != 0)
            env.emplace_back(*e);
    if (!fonts_conf.empty()) env.push_back("FONTCONFIG_FILE=" + fonts_conf);
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> out;
    for (auto& t : texts) out.push_back(t.data());
    out.push_back(nullptr);
    return out;
}

// Reads the child's standard output (split into lines) and standard error (its end kept)
// until both are closed.
void read_child(int out_fd, int err_fd, std::string& errors,
                const std::function<void(const std::string&)>& on_line) {
    std::string line_buf;
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
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
            } else if (i == 0) {
                line_buf.append(buf, static_cast<size_t>(n));
                size_t nl;
                while ((nl = line_buf.find('\n')) != std::string::npos) {
                    if (on_line) on_line(line_buf.substr(0, nl));
                    line_buf.erase(0, nl + 1);
                }
            } else {
                errors.append(buf, static_cast<size_t>(n));
                if (errors.size() > 8192) errors.erase(0, errors.size() - 4096);
            }
        }
    }
}

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

// Why the task cannot render into its target folder, or "".
std::string refusal_of(const Task& t) {
    if (!t.refused.empty()) return t.refused;
    if (t.target_dir.empty()) return "No render target folder is set (TargetDir)";
    std::error_code ec;
    if (!fs::is_directory(t.target_dir, ec))
        return "Render target folder does not exist: " + t.target_dir;
    if (access(t.target_dir.c_str(), W_OK | X_OK) != 0)
        return "Render target folder is not writable: " + t.target_dir;
    return "";
}

// Runs the planned encoder, writing `part`; "" when it wrote the file.
std::string encode(const Plan& plan, const fs::path& part, RenderRun& run,
                   const std::string& fonts_conf) {
    std::error_code ec;
    for (const std::string& src : plan.sources)
        if (!fs::is_regular_file(src, ec)) return "Source file not found: " + src;
    if (auto absent = fonts::missing(plan.fonts, fonts_conf); !absent.empty())
        return missing_fonts_text(absent);
    WorkFolder work;
    if (work.path().empty()) return "Could not create a temporary folder";
    for (const auto& [name, text] : plan.scripts)
        if (!work.write(name, text)) return "Could not write the title script";

    const ChildResult r = run_ffmpeg(
        plan.args, work.path(), fonts_conf,
        [&](long pid) {
            {
                std::lock_guard lock(running().m);
                running().files[pid] = part.string();
            }
            std::lock_guard lock(run.m);
            run.pid = pid;
            if (run.cancel) kill(static_cast<pid_t>(pid), SIGKILL);
        },
        [&](const std::string& line) {
            auto frame = progress_frame(line);
            if (!frame || plan.frames <= 0) return;
            std::lock_guard lock(run.m);
            run.percent = static_cast<int>(std::clamp<int64_t>(*frame * 100 / plan.frames, 0, 99));
        });
    {
        std::lock_guard lock(running().m);
        std::erase_if(running().files, [&](const auto& e) { return e.second == part.string(); });
    }
    std::string why = failure_of(r);
    if (why.empty() && !fs::is_regular_file(part, ec)) why = "ffmpeg wrote no file";
    return why;
}

}  // namespace

ChildResult run_ffmpeg(const std::vector<std::string>& args, const std::string& folder,
                       const std::string& fonts_conf, const std::function<void(long)>& on_start,
                       const std::function<void(const std::string&)>& on_line) {
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
    std::vector<std::string> env_text = child_environment(fonts_conf);
    std::vector<std::string> arg_text{"ffmpeg"};
    arg_text.insert(arg_text.end(), args.begin(), args.end());
    std::vector<char*> envp = pointers(env_text), argv = pointers(arg_text);

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
    if (on_start) on_start(static_cast<long>(pid));
    read_child(out[0], err[0], r.errors, on_line);
    while (waitpid(pid, &r.status, 0) < 0 && errno == EINTR) {
    }
    return r;
}

std::string last_line(const std::string& text) {
    const size_t end = text.find_last_not_of(" \r\n\t");
    if (end == std::string::npos) return "";
    const size_t nl = text.rfind('\n', end);
    const size_t start = nl == std::string::npos ? 0 : nl + 1;
    return text.substr(start, end + 1 - start);
}

std::string failure_of(const ChildResult& r) {
    if (!r.started) return "Could not start ffmpeg: " + r.errors;
    if (WIFSIGNALED(r.status))
        return "ffmpeg was killed by signal " + std::to_string(WTERMSIG(r.status));
    if (WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0) return "";
    const std::string why = last_line(r.errors);
    return "ffmpeg failed (exit status " + std::to_string(WEXITSTATUS(r.status)) + ")" +
           (why.empty() ? "" : ": " + why);
}

WorkFolder::WorkFolder() {
    const char* tmp = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/vestrel-render-XXXXXX";
    if (mkdtemp(tmpl.data())) path_ = tmpl;
}

WorkFolder::~WorkFolder() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
}

bool WorkFolder::write(const std::string& name, const std::string& text) const {
    std::ofstream f(path_ + "/" + name, std::ios::binary);
    f << text;
    return static_cast<bool>(f);
}

std::string missing_fonts_text(const std::vector<std::pair<std::string, std::string>>& absent) {
    std::string names;
    for (const auto& [family, style] : absent)
        names += (names.empty() ? "" : ", ") + family + " " + style;
    return "Title font not installed: " + names;
}

void size_titles(Snapshot& s, const std::string& fonts_conf) {
    std::map<std::pair<std::string, std::string>, double> known;
    for (VideoLayer& l : s.video) {
        if (l.kind != VideoLayer::Kind::Title) continue;
        const std::pair key{l.style.font, l.style.style};
        auto it = known.find(key);
        if (it == known.end())
            it = known.emplace(key, fonts::line_per_em(key.first, key.second, fonts_conf)
                                        .value_or(1.0)).first;
        l.style.line_per_em = it->second;
    }
}

Task task_of(const resolve_sim::Project& p, const RenderJob& j) {
    Task t;
    t.run = std::make_shared<RenderRun>();
    t.job_id = j.id;
    std::error_code ec;
    t.target_dir = j.target_dir.empty() ? "" : fs::absolute(j.target_dir, ec).string();
    t.name = (j.custom_name.empty() ? j.timeline_name : j.custom_name) + ".mp4";
    if (!j.refused_preset.empty()) t.refused = "Unknown render preset: " + j.refused_preset;
    auto tl = p.find_timeline(j.timeline_name);
    if (!tl && t.refused.empty()) t.refused = "Timeline '" + j.timeline_name + "' not found";
    if (tl) {
        t.snapshot = snapshot_of(*tl);
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
    const Quality q = quality_of(j.quality).value_or(Quality{});
    t.output.crf = q.crf;
    t.output.bitrate_kbps = q.bitrate_kbps;
    t.output.video = j.export_video;
    t.output.audio = j.export_audio;
    return t;
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
    if (std::string refused = refusal_of(t); !refused.empty())
        return finish(run, RenderRun::State::Failed, refused);
    std::error_code ec;
    const fs::path final_path = fs::path(t.target_dir) / t.name;
    const fs::path part_path = fs::path(t.target_dir) / ("." + t.name + "." + t.job_id + ".part");
    t.output.path = fs::absolute(part_path, ec).string();

    size_titles(t.snapshot, fonts_conf);
    Plan plan;
    try {
        plan = render::plan(t.snapshot, t.output);
    } catch (const PlanError& e) {
        return finish(run, RenderRun::State::Failed, e.what());
    }
    std::string why = encode(plan, part_path, run, fonts_conf);
    if (why.empty()) {
        fs::rename(part_path, final_path, ec);
        if (ec)
            why = "Could not rename the rendered file to " + final_path.string() + ": " +
                  ec.message();
    }
    if (!why.empty()) {
        fs::remove(part_path, ec);
        return finish(run, RenderRun::State::Failed, why);
    }
    finish(run, RenderRun::State::Complete);
}

bool start_renders(resolve_sim::Project& p, const std::vector<std::string>& ids,
                   const std::string& fonts_conf) {
    if (p.rendering_in_progress()) return false;
    std::vector<Task> tasks;
    for (RenderJob& j : p.jobs) {
        const bool chosen = ids.empty() || std::find(ids.begin(), ids.end(), j.id) != ids.end();
        if (!chosen || j.status != RenderJob::Status::Ready) continue;
        tasks.push_back(task_of(p, j));
        j.status = RenderJob::Status::Rendering;
        j.run = tasks.back().run;
    }
    if (tasks.empty()) return false;
    std::thread([tasks = std::move(tasks), fonts_conf]() mutable {
        for (Task& t : tasks) render_one(t, fonts_conf);
    }).detach();
    return true;
}

std::vector<std::shared_ptr<RenderRun>> cancel_renders(resolve_sim::Project& p) {
    std::vector<std::shared_ptr<RenderRun>> stopped;
    for (RenderJob& j : p.jobs) {
        if (!j.run) continue;
        std::lock_guard lock(j.run->m);
        if (j.run->state != RenderRun::State::Rendering) continue;
        j.run->cancel = true;
        if (j.run->pid > 0) kill(static_cast<pid_t>(j.run->pid), SIGKILL);
        stopped.push_back(j.run);
    }
    return stopped;
}

void wait_ended(const std::vector<std::shared_ptr<RenderRun>>& runs) {
    for (int i = 0; i < 1000; ++i) {
        bool rendering = false;
        for (const auto& run : runs) {
            std::lock_guard lock(run->m);
            rendering |= run->state == RenderRun::State::Rendering;
        }
        if (!rendering) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::optional<VideoLayer> layer_of_item(const resolve_sim::Timeline& timeline,
                                        const resolve_sim::TimelineItem& item) {
    resolve_sim::Timeline alone;
    alone.name = timeline.name;
    alone.width = timeline.width;
    alone.height = timeline.height;
    alone.rate = timeline.rate;
    alone.start_frame = timeline.start_frame;
    alone.video.assign(1, resolve_sim::Track{});
    resolve_sim::TimelineItem copy = item;
    copy.start = timeline.start_frame;
    alone.video[0].push_back(std::make_shared<resolve_sim::TimelineItem>(copy));
    Snapshot s = snapshot_of(alone);
    if (s.video.empty()) return std::nullopt;
    return s.video.front();
}

VideoLayer title_layer(const resolve_sim::Timeline& timeline,
                       const resolve_sim::TimelineItem& item) {
    auto layer = layer_of_item(timeline, item);
    if (!layer || layer->kind != VideoLayer::Kind::Title)
        throw Error(ErrorKind::Value, "'" + item.name + "' is not a title with text");
    if (!face_of_style(layer->style.style))
        throw Error(ErrorKind::Runtime, "Unknown font style '" + layer->style.style +
                                            "' of title '" + item.name + "'");
    return *layer;
}

void draw_title_png(VideoLayer title, int width, int height, const std::string& png_path,
                    const std::string& fonts_conf) {
    std::error_code ec;
    const std::string target = fs::absolute(png_path, ec).string();
    std::string why;
    auto absent = fonts::missing({{title.style.font, title.style.style}}, fonts_conf);
    title.style.line_per_em =
        fonts::line_per_em(title.style.font, title.style.style, fonts_conf).value_or(1.0);
    WorkFolder work;
    if (!absent.empty())
        why = missing_fonts_text(absent);
    else if (work.path().empty() ||
             !work.write("title.ass", single_title_script(title, width, height)))
        why = "Could not write the title script";
    else
        why = failure_of(
            run_ffmpeg(title_png_args(width, height, target), work.path(), fonts_conf));
    if (!why.empty()) throw Error(ErrorKind::Runtime, why);
}

}  // namespace vestrel::render
