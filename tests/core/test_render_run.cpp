// Running renders with a real ffmpeg: a short colour clip into a temporary folder, the
// refusals found before ffmpeg runs, a render stopped while it runs, and the failure texts of
// a finished child.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "core/render_run.hpp"
#include "temp_dir.hpp"

using namespace vestrel;
using namespace vestrel::render;
using resolve_sim::RenderRun;
namespace fs = std::filesystem;

namespace {

// The names in a folder.
std::vector<std::string> names(const fs::path& dir) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename());
    return out;
}

// A small timeline of one red colour clip, `frames` long, rendered as video only.
Task colour_task(const fs::path& dir, int64_t frames) {
    Task t;
    t.run = std::make_shared<RenderRun>();
    t.job_id = "job-1";
    t.target_dir = dir.string();
    t.name = "clip.mp4";
    t.snapshot.timeline_name = "Timeline 1";
    t.snapshot.width = 64;
    t.snapshot.height = 64;
    t.snapshot.frames = frames;
    VideoLayer red;
    red.kind = VideoLayer::Kind::Colour;
    red.name = "Red";
    red.colour = {1, 0, 0, 1};
    red.duration = frames;
    t.snapshot.video.push_back(red);
    t.output.audio = false;
    return t;
}

}  // namespace

TEST(RenderRun, ARenderIsWrittenUnderATemporaryNameThenRenamed) {
    TempDir dir("run-test");
    Task t = colour_task(dir.path, 12);
    render_one(t, "");
    EXPECT_EQ(t.run->state, RenderRun::State::Complete) << t.run->error;
    EXPECT_EQ(t.run->percent, 100);
    EXPECT_EQ(t.run->pid, 0);
    EXPECT_EQ(names(dir.path), std::vector<std::string>{"clip.mp4"});  // no ".part" left
    EXPECT_GT(fs::file_size(dir.path / "clip.mp4"), 0u);
}

TEST(RenderRun, RefusalsLeaveNoFileAndSayWhy) {
    TempDir dir("run-test");
    struct Case {
        std::function<void(Task&)> change;
        std::string error;
    };
    const std::string missing = (dir.path / "nope").string();
    const std::vector<Case> cases = {
        {[](Task& t) { t.refused = "Unknown render preset: X"; }, "Unknown render preset: X"},
        {[](Task& t) { t.target_dir.clear(); }, "No render target folder is set (TargetDir)"},
        {[&](Task& t) { t.target_dir = missing; },
         "Render target folder does not exist: " + missing},
        {[](Task& t) { t.snapshot.frames = 0; },
         "Nothing to render: timeline 'Timeline 1' is empty"},
        {[](Task& t) {
             VideoLayer clip;
             clip.path = "/nonexistent/bg.mp4";
             clip.duration = 12;
             t.snapshot.video.push_back(clip);
         },
         "Source file not found: /nonexistent/bg.mp4"},
    };
    for (const Case& c : cases) {
        Task t = colour_task(dir.path, 12);
        c.change(t);
        render_one(t, "");
        EXPECT_EQ(t.run->state, RenderRun::State::Failed);
        EXPECT_EQ(t.run->error, c.error);
        EXPECT_TRUE(names(dir.path).empty());
    }
}

TEST(RenderRun, AStoppedRenderEndsCancelledWithoutAFile) {
    TempDir dir("run-test");
    // About an hour of frames: still running when it is stopped.
    Task t = colour_task(dir.path, 24 * 3600);
    auto project = std::make_shared<resolve_sim::Project>();
    resolve_sim::RenderJob job;
    job.id = t.job_id;
    job.status = resolve_sim::RenderJob::Status::Rendering;
    job.run = t.run;
    project->jobs.push_back(job);

    std::thread worker([&] { render_one(t, ""); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    long pid = 0;
    while (pid == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::lock_guard lock(t.run->m);
        pid = t.run->pid;
    }
    ASSERT_GT(pid, 0);
    const auto stopped = cancel_renders(*project);
    ASSERT_EQ(stopped.size(), 1u);
    wait_ended(stopped);
    worker.join();
    EXPECT_EQ(t.run->state, RenderRun::State::Cancelled);
    EXPECT_TRUE(t.run->error.empty());
    EXPECT_EQ(kill(static_cast<pid_t>(pid), 0), -1);  // the encoder is gone
    EXPECT_TRUE(names(dir.path).empty());
    EXPECT_TRUE(cancel_renders(*project).empty());  // nothing runs any more
}

TEST(RenderRun, FailureTextsOfAFinishedChild) {
    ChildResult r;
    r.errors = "ffmpeg is not installed";
    EXPECT_EQ(failure_of(r), "Could not start ffmpeg: ffmpeg is not installed");
    r.started = true;
    r.status = 0;
    EXPECT_EQ(failure_of(r), "");
    r.status = SIGKILL;  // ended by a signal
    EXPECT_EQ(failure_of(r), "ffmpeg was killed by signal 9");
    r.status = 1 << 8;  // exit status 1
    r.errors = "first\r\nlast: bad value\n\n";
    EXPECT_EQ(failure_of(r), "ffmpeg failed (exit status 1): last: bad value");
    r.errors = " \n";
    EXPECT_EQ(failure_of(r), "ffmpeg failed (exit status 1)");

    // A real child: an option ffmpeg does not know.
    const ChildResult real = run_ffmpeg({"-v", "error", "-no-such-option"}, "", "");
    EXPECT_TRUE(real.started);
    // Its last error line, not the first.
    EXPECT_EQ(failure_of(real), "ffmpeg failed (exit status 1): Error splitting the argument "
                                "list: Option not found");
}

TEST(RenderRun, ChildOutputArrivesLineByLineInItsFolder) {
    TempDir dir("run-test");
    std::vector<std::string> lines;
    long started = 0;
    // Writes into its working folder; the progress goes to standard output.
    const ChildResult r = run_ffmpeg(
        {"-nostdin", "-v", "error", "-progress", "pipe:1", "-f", "lavfi", "-i",
         "color=c=blue:s=32x32:r=10:d=1", "-c:v", "png", "-f", "image2", "f%02d.png"},
        dir.path.string(), "", [&](long pid) { started = pid; },
        [&](const std::string& line) { lines.push_back(line); });
    EXPECT_EQ(failure_of(r), "");
    EXPECT_GT(started, 0);
    EXPECT_EQ(names(dir.path).size(), 10u);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "progress=end"), lines.end());
    std::optional<int64_t> last;
    for (const auto& l : lines)
        if (auto f = progress_frame(l)) last = f;
    EXPECT_EQ(last, 10);
}

TEST(RenderRun, WorkFolderHoldsScriptsUntilItGoes) {
    std::string path;
    {
        WorkFolder work;
        path = work.path();
        ASSERT_FALSE(path.empty());
        EXPECT_TRUE(work.write("a.ass", "text"));
        EXPECT_EQ(fs::file_size(path + "/a.ass"), 4u);
    }
    EXPECT_FALSE(fs::exists(path));
}
