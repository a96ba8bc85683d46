// The render queue's presets, settings and job status, without rendering.
#include <gtest/gtest.h>

#include "core/render_queue.hpp"

using namespace vestrel;
using namespace vestrel::render;
using resolve_sim::RenderJob;
using resolve_sim::RenderRun;

TEST(RenderQueue, PresetsSetCodecAndFrameSize) {
    auto p = resolve_sim::Project::make("p");
    EXPECT_EQ(preset_names().front(), "H.264 Master");
    EXPECT_EQ(preset_names().size(), 5u);
    put_render_settings(*p, {{"VideoQuality", "Best"}, {"FormatWidth", "640"}});

    ASSERT_TRUE(load_preset(*p, "TikTok - 1080p"));
    EXPECT_EQ(p->render_codec, "H264");
    using Settings = std::vector<std::pair<std::string, std::string>>;
    // A key set before keeps its place; a new one comes last.
    EXPECT_EQ(p->render_settings, (Settings{{"VideoQuality", "Best"},
                                            {"FormatWidth", "1080"},
                                            {"FormatHeight", "1920"}}));

    // An unknown preset changes nothing but is remembered until a known one is taken.
    EXPECT_FALSE(load_preset(*p, "Nope"));
    EXPECT_EQ(p->refused_preset, "Nope");
    EXPECT_EQ(p->render_preset, "TikTok - 1080p");
    ASSERT_TRUE(load_preset(*p, "H.265 Master"));
    EXPECT_EQ(p->refused_preset, "");
    EXPECT_EQ(p->render_codec, "H265");
    EXPECT_EQ(p->render_settings,
              (Settings{{"VideoQuality", "Best"}, {"FormatWidth", ""}, {"FormatHeight", ""}}));
}

TEST(RenderQueue, JobStatusReadsTheRunningRender) {
    RenderJob j;
    JobStatus s = job_status(j);
    EXPECT_EQ(std::string(s.status), "Ready");
    EXPECT_EQ(s.percent, 0);
    j.status = RenderJob::Status::Complete;  // a simulated render: no run
    EXPECT_EQ(job_status(j).percent, 100);

    j.run = std::make_shared<RenderRun>();
    j.run->percent = 42;
    s = job_status(j);
    EXPECT_EQ((std::string(s.status)), "Rendering");
    EXPECT_EQ(s.percent, 42);
    j.run->state = RenderRun::State::Failed;
    j.run->error = "ffmpeg failed (exit status 1)";
    s = job_status(j);
    EXPECT_EQ(s.state, RenderJob::Status::Failed);
    EXPECT_EQ(std::string(s.status), "Failed");
    EXPECT_EQ(s.error, "ffmpeg failed (exit status 1)");
}

TEST(RenderQueue, DeletingIdleJobsKeepsTheRunningOnes) {
    auto p = resolve_sim::Project::make("p");
    for (const char* id : {"a", "b", "c"}) {
        RenderJob j;
        j.id = id;
        p->jobs.push_back(j);
    }
    p->jobs[1].run = std::make_shared<RenderRun>();  // rendering
    p->jobs[2].run = std::make_shared<RenderRun>();
    p->jobs[2].run->state = RenderRun::State::Complete;
    p->render_polls_left = 3;
    delete_idle_jobs(*p);
    ASSERT_EQ(p->jobs.size(), 1u);
    EXPECT_EQ(p->jobs[0].id, "b");
    EXPECT_EQ(p->render_polls_left, 0);
}

TEST(RenderQueue, SimulatedRendersReachEveryProject) {
    resolve_sim::ProjectManager pm;
    pm.create_project("one");
    set_simulated_render(pm, 2);
    pm.create_project("two");
    for (const auto& p : pm.projects) {
        EXPECT_TRUE(p->simulated_render) << p->name;
        EXPECT_EQ(p->render_polls, 2) << p->name;
    }
}

TEST(RenderQueue, SettingValuesAreCheckedByKeyAndType) {
    using T = render::ValueType;
    struct Case {
        const char* key;
        T type;
        const char* text;
        std::optional<std::string> want;
    };
    const std::vector<Case> cases = {
        {"FormatWidth", T::Int, "1080", "1080"},
        {"FormatHeight", T::Int, "2", "2"},
        {"FormatHeight", T::Int, "16384", "16384"},
        {"FormatWidth", T::Int, "1081", std::nullopt},   // odd
        {"FormatWidth", T::Int, "0", std::nullopt},
        {"FormatWidth", T::Int, "16386", std::nullopt},
        {"FormatWidth", T::Int, "99999999999999999999999", std::nullopt},
        {"FormatWidth", T::Text, "1080", std::nullopt},  // only a number
        {"FormatWidth", T::Bool, "True", std::nullopt},
        {"VideoQuality", T::Int, "0", "0"},
        {"VideoQuality", T::Text, "Best", "Best"},
        {"VideoQuality", T::Text, "Sharpest", std::nullopt},
        {"VideoQuality", T::Bool, "True", std::nullopt},
        {"ExportAudio", T::Bool, "False", "False"},
        {"ExportVideo", T::Int, "1", std::nullopt},
        {"CustomName", T::Other, "[1, 2]", "[1, 2]"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(render::setting_text(c.key, c.type, c.text), c.want) << c.key << " " << c.text;
}

TEST(RenderQueue, JobFieldsInTheirOrder) {
    resolve_sim::RenderJob j;
    j.id = "7";
    j.width = 1080;
    j.export_audio = false;
    const auto fields = render::job_fields(j);
    ASSERT_EQ(fields.size(), 11u);
    EXPECT_STREQ(fields[0].first, "JobId");
    EXPECT_EQ(std::get<std::string>(fields[0].second), "7");
    EXPECT_STREQ(fields[7].first, "FormatWidth");
    EXPECT_EQ(std::get<int>(fields[7].second), 1080);
    EXPECT_STREQ(fields[10].first, "IsExportAudio");
    EXPECT_EQ(std::get<bool>(fields[10].second), false);
}
