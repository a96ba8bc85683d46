#include <gtest/gtest.h>

#include <cmath>
#include <regex>
#include <tuple>

#include "core/render.hpp"
#include "core/resolve_sim.hpp"

using namespace vestrel;
using namespace vestrel::render;
using resolve_sim::ClipKind;

namespace {

// A project from a template like the built-in one: 30 fps, 1080x1920, five video tracks,
// two audio tracks with the music ducked under the voice.
struct Fixture {
    resolve_sim::ProjectManager pm;
    std::shared_ptr<resolve_sim::Project> p;
    std::shared_ptr<resolve_sim::Clip> caption, fade_in, video, audio;

    Fixture() {
        resolve_sim::ProjectTemplate t;
        t.settings = {{"timelineFrameRate", "30"}};
        resolve_sim::TimelineDef tl{"Timeline 1", "30", 1080, 1920, 5, 2};
        tl.audio_mix = {{0.0, 0}, {-14.0, 1}};
        t.timelines = {tl};
        t.clips = {
            {"Caption", ClipKind::Title, 5.0,
             {{"Template", "TextPlus",
               {{"StyledText", std::string("Caption")}, {"Font", std::string("Roboto")},
                {"Style", std::string("Black")}, {"Size", 0.1}, {"Center", 0.25}}}}},
            {"FadeIn_500ms", ClipKind::Generator, 0.5,
             {{"Background1", "Background", {{"StartAlpha", 1.0}, {"EndAlpha", 0.0}}}}}};
        EXPECT_TRUE(pm.import_project(t, "p"));
        p = pm.load_project("p");
        caption = p->media_pool->root->clips.at(0);
        fade_in = p->media_pool->root->clips.at(1);
        video = p->import_media("/m/bg.mp4", "bg.mp4",
                                resolve_sim::MediaInfo{true, false, Rational{25, 1}, 10.0, 640, 360});
        audio = p->import_media("/m/voice.mp3", "voice.mp3",
                                resolve_sim::MediaInfo{false, true, std::nullopt, 10.0, 0, 0});
    }

    std::shared_ptr<resolve_sim::TimelineItem> put(std::shared_ptr<resolve_sim::Clip> c,
                                                   int64_t first, int64_t last, int64_t record,
                                                   int64_t track, int64_t media_type = 0) {
        resolve_sim::PlacementRequest r{c, first, last, 108000 + record, track, media_type};
        auto items = p->current_timeline->append(r);
        EXPECT_FALSE(items.empty());
        return items.empty() ? nullptr : items.front();
    }
};

std::string graph_of(const Plan& plan) {
    for (size_t i = 0; i + 1 < plan.args.size(); ++i)
        if (plan.args[i] == "-filter_complex") return plan.args[i + 1];
    return "";
}

}  // namespace

TEST(Render, StyleNamesGiveWeightAndSlant) {
    struct Case {
        const char* style;
        int weight;
        bool italic;
    };
    for (const Case& c : {Case{"", 400, false}, Case{"Regular", 400, false},
                          Case{"Bold", 700, false}, Case{"ExtraBold", 800, false},
                          Case{"Extra Bold", 800, false}, Case{"Black", 900, false},
                          Case{"SemiBold Italic", 600, true}, Case{"italic", 400, true}}) {
        auto face = face_of_style(c.style);
        ASSERT_TRUE(face) << c.style;
        EXPECT_EQ(face->weight, c.weight) << c.style;
        EXPECT_EQ(face->italic, c.italic) << c.style;
    }
    EXPECT_FALSE(face_of_style("Fancy"));
    EXPECT_FALSE(face_of_style("Extra"));
}

// libass shows an event while start <= now < end, `now` being each frame's time in whole
// milliseconds as ffmpeg's ass filter computes it (in floating point, truncated). The ASS
// time of a frame must separate it from the frame before at every common rate.
TEST(Render, AssTimesSeparateEveryFrameFromTheOneBefore) {
    auto cs_of = [](const std::string& t) {
        int h, m, s, cs;
        EXPECT_EQ(std::sscanf(t.c_str(), "%d:%d:%d.%d", &h, &m, &s, &cs), 4) << t;
        return ((h * 60 + m) * 60 + s) * 100LL + cs;
    };
    for (Rational rate : {Rational{24, 1}, Rational{25, 1}, Rational{30, 1},
                          Rational{30000, 1001}, Rational{50, 1}, Rational{60, 1}}) {
        auto now = [&](int64_t frame) {
            const double tb = static_cast<double>(rate.den) / static_cast<double>(rate.num);
            return static_cast<long long>(static_cast<double>(frame) * tb * 1000);
        };
        for (int64_t f = 1; f < 20000; ++f) {
            const long long ms = cs_of(ass_time(f, rate)) * 10;
            ASSERT_LE(ms, now(f)) << f << " at " << rate.num << "/" << rate.den;
            ASSERT_GT(ms, now(f - 1)) << f << " at " << rate.num << "/" << rate.den;
        }
    }
    EXPECT_EQ(ass_time(0, Rational{30, 1}), "0:00:00.00");
    EXPECT_EQ(ass_time(108000, Rational{30, 1}), "0:59:59.98");  // halfway from 3599.967 s
}

TEST(Render, SnapshotHoldsEveryTrackInFramesFromTheStart) {
    Fixture f;
    f.put(f.video, 25, 74, 0, 1, 1);  // 2 s from 1 s into the file: 60 frames at 30
    f.put(f.fade_in, 0, 14, 0, 2);
    auto title = f.put(f.caption, 0, 29, 10, 3);
    title->comps[0]->find_tool("Template")->set_input("StyledText", std::string("Hallo"));
    f.put(f.caption, 0, 29, 40, 3);  // keeps the clip's own text
    f.put(f.audio, 30, 89, 0, 1, 2);

    Snapshot s = snapshot_of(*f.p->current_timeline);
    EXPECT_EQ(s.frames, 70);
    EXPECT_EQ((std::pair{s.width, s.height}), (std::pair{1080, 1920}));
    ASSERT_EQ(s.video.size(), 4u);
    EXPECT_EQ(s.video[0].kind, VideoLayer::Kind::Media);
    EXPECT_EQ(s.video[0].path, "/m/bg.mp4");
    EXPECT_DOUBLE_EQ(s.video[0].source_offset, 1.0);
    EXPECT_EQ(s.video[0].duration, 60);
    EXPECT_EQ(s.video[1].kind, VideoLayer::Kind::Colour);
    EXPECT_EQ((std::pair{s.video[1].alpha_start, s.video[1].alpha_end}), (std::pair{1.0, 0.0}));
    EXPECT_EQ(s.video[1].ramp_frames, 15);
    EXPECT_EQ(s.video[2].text, "Hallo");
    EXPECT_EQ(s.video[2].start, 10);
    EXPECT_EQ(s.video[2].style.font, "Roboto");
    EXPECT_DOUBLE_EQ(s.video[2].style.size, 0.1);
    EXPECT_DOUBLE_EQ(s.video[2].style.center_y, 0.25);
    EXPECT_EQ(s.video[3].text, "Caption");
    ASSERT_EQ(s.audio.size(), 1u);
    EXPECT_DOUBLE_EQ(s.audio[0].source_offset, 1.0);
    ASSERT_EQ(s.audio_tracks.size(), 2u);
    EXPECT_EQ(s.audio_tracks[1].duck_under, 1);
    EXPECT_DOUBLE_EQ(s.audio_tracks[1].level_db, -14.0);
}

TEST(Render, PlanComposesTracksInOrderAndTimesTitlesToTheFrame) {
    Fixture f;
    f.put(f.video, 0, 49, 0, 1, 1);
    f.put(f.fade_in, 0, 14, 0, 2);
    auto title = f.put(f.caption, 0, 29, 15, 3);
    title->comps[0]->find_tool("Template")->set_input("StyledText", std::string("a {b} \\N"));
    f.put(f.audio, 0, 59, 0, 1, 2);
    f.put(f.audio, 0, 59, 0, 2, 2);

    Output out;
    out.path = "/out/x.part";
    Plan plan = render::plan(snapshot_of(*f.p->current_timeline), out);
    EXPECT_EQ(plan.frames, 60);
    const std::string g = graph_of(plan);
    // background, then the fade over it, then the titles over both
    const size_t bg = g.find("[0:v]"), fade = g.find("fade=t=in:s=0:n=15:enable='between(n,0,14)'"),
                 ass = g.find("ass=filename=titles-1.ass");
    ASSERT_NE(bg, std::string::npos);
    ASSERT_NE(fade, std::string::npos);
    ASSERT_NE(ass, std::string::npos);
    EXPECT_LT(bg, fade);
    EXPECT_LT(fade, ass);
    EXPECT_NE(g.find("trim=end_frame=60,format=yuv420p"), std::string::npos);  // the canvas
    EXPECT_NE(g.find("scale=1080:1920"), std::string::npos);
    // the music (track 2) ducks under a copy of the voice
    EXPECT_NE(g.find("[t1]asplit=2"), std::string::npos);
    EXPECT_NE(g.find("sidechaincompress"), std::string::npos);
    EXPECT_NE(g.find("volume=-14.000000dB"), std::string::npos);
    EXPECT_NE(g.find("amix=inputs=3:duration=first:normalize=0[aout]"), std::string::npos);
    EXPECT_NE(g.find("atrim=end_sample=96000[a0]"), std::string::npos);  // 2 s at 48 kHz

    ASSERT_EQ(plan.scripts.size(), 1u);
    const std::string& script = plan.scripts[0].second;
    EXPECT_NE(script.find("Style: T1,Roboto,108.000000,"), std::string::npos);
    EXPECT_NE(script.find(",900,0,"), std::string::npos);  // Black
    EXPECT_NE(script.find("Dialogue: 3,0:00:00.48,0:00:01.48,T1,,0,0,0,,{\\pos(540,1440)}"),
              std::string::npos);
    // the text's braces and backslash draw as text
    EXPECT_NE(script.find("a \\{b\\} \\\xE2\x81\xA0N"), std::string::npos);
    EXPECT_EQ(plan.fonts, (std::vector<std::pair<std::string, std::string>>{{"Roboto", "Black"}}));
    EXPECT_EQ(plan.sources, (std::vector<std::string>{"/m/bg.mp4", "/m/voice.mp3"}));
    EXPECT_EQ(plan.args.back(), "file:/out/x.part");
    for (const char* arg : {"libx264", "veryfast", "+faststart", "aac"})
        EXPECT_NE(std::find(plan.args.begin(), plan.args.end(), arg), plan.args.end()) << arg;
}

// Black fades darken the picture in place; other colours and opacities are layers.
TEST(Render, ColourClipsAsFadesOrLayers) {
    Fixture f;
    f.put(f.video, 0, 99, 0, 1, 1);
    auto fade_in = f.put(f.fade_in, 5, 14, 40, 2);  // from its 6th frame: 10 frames at 40
    auto red = f.put(f.fade_in, 0, 14, 60, 2);
    red->comps[0]->tools[0]->set_input("TopLeftRed", 1.0);
    Output out;
    out.path = "/o";
    const std::string g = graph_of(render::plan(snapshot_of(*f.p->current_timeline), out));
    // the ramp counts from where the clip's first frame would be: 35
    EXPECT_NE(g.find("fade=t=in:s=35:n=15:enable='between(n,40,49)'"), std::string::npos) << g;
    EXPECT_NE(g.find("color=c=0xFF0000@1.000000:s=1080x1920:r=30/1,format=yuva420p,"
                     "fade=t=out:s=0:n=15:alpha=1,trim=start_frame=0:end_frame=15,"
                     "setpts=PTS-STARTPTS+60"),
              std::string::npos)
        << g;
}

TEST(Render, TitlesUnderAVideoTrackAreDrawnBeforeIt) {
    Fixture f;
    f.put(f.video, 0, 49, 0, 1, 1);
    f.put(f.caption, 0, 29, 0, 2);
    f.put(f.video, 0, 24, 0, 3, 1);
    Output out;
    out.path = "/o";
    const std::string g = graph_of(render::plan(snapshot_of(*f.p->current_timeline), out));
    const size_t ass = g.find("ass=filename=titles-1.ass"), top = g.find("[1:v]");
    ASSERT_NE(ass, std::string::npos);
    ASSERT_NE(top, std::string::npos);
    EXPECT_LT(ass, g.find("overlay", top));
}

TEST(Render, OutputSizeAndQuality) {
    Fixture f;
    f.put(f.video, 0, 49, 0, 1, 1);
    const Snapshot s = snapshot_of(*f.p->current_timeline);
    Output small;
    small.path = "/o";
    small.width = 216;
    small.height = 384;  // the timeline's shape: composed at this size
    EXPECT_NE(graph_of(render::plan(s, small)).find("scale=216:384,"), std::string::npos);
    Output wide = small;
    wide.width = 1920;
    wide.height = 1080;  // another shape: composed at the timeline's size, then fitted
    const std::string g = graph_of(render::plan(s, wide));
    EXPECT_NE(g.find("scale=1080:1920,"), std::string::npos);
    EXPECT_NE(g.find("pad=1920:1080"), std::string::npos);

    EXPECT_EQ(quality_of("")->crf, 22);
    EXPECT_EQ(quality_of("0")->bitrate_kbps, 0);
    EXPECT_EQ(quality_of("Best")->crf, 18);
    EXPECT_EQ(quality_of("8000")->bitrate_kbps, 8000);
    EXPECT_FALSE(quality_of("-1"));
    EXPECT_FALSE(quality_of("great"));
}

TEST(Render, PlansThatCannotRender) {
    Fixture f;
    Output out;
    out.path = "/o";
    auto message = [&](const Output& o) {
        try {
            render::plan(snapshot_of(*f.p->current_timeline), o);
        } catch (const PlanError& e) {
            return std::string(e.what());
        }
        return std::string();
    };
    EXPECT_EQ(message(out), "Nothing to render: timeline 'Timeline 1' is empty");
    f.put(f.video, 0, 49, 0, 1, 1);
    EXPECT_EQ(message(out), "");
    Output odd = out;
    odd.width = 215;
    odd.height = 384;
    EXPECT_EQ(message(odd), "Unsupported output size: 215x384 (width and height must be even)");
    Output none = out;
    none.video = none.audio = false;
    EXPECT_EQ(message(none), "Nothing to render: neither video nor audio is exported");
    auto fade = f.put(f.fade_in, 0, 14, 0, 2);
    fade->comps[0]->tools[0]->set_input("EndAlpha", 0.5);
    EXPECT_EQ(message(out), "Colour clip 'FadeIn_500ms': its opacity must start or end at 0");
}

TEST(Render, ProgressLines) {
    EXPECT_EQ(progress_frame("frame=42"), 42);
    EXPECT_EQ(progress_frame("frame=0"), 0);
    EXPECT_FALSE(progress_frame("fps=42"));
    EXPECT_FALSE(progress_frame("frame=N/A"));
    EXPECT_FALSE(progress_frame("frame="));
}

#include "core/fonts.hpp"

// The set-up installs Open Sans and Roboto; no Debian package ships Montserrat.
TEST(Fonts, MissingFacesAreNamed) {
    using Faces = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(fonts::missing({{"Roboto", "Black"}, {"Open Sans", "ExtraBold"}}, ""), Faces{});
    EXPECT_EQ(fonts::missing({{"Montserrat", "ExtraBold"}, {"Roboto", "Black"},
                              {"Open Sans", "Black"}, {"Roboto", "Fancy"}},
                             ""),
              (Faces{{"Montserrat", "ExtraBold"}, {"Open Sans", "Black"}, {"Roboto", "Fancy"}}));
}

// libass sizes a face by its Windows ascent plus descent: Open Sans's is 2189 + 600 units of
// a 2048-unit em.
TEST(Fonts, LinePerEmAsLibassMeasuresIt) {
    auto open_sans = fonts::line_per_em("Open Sans", "ExtraBold", "");
    ASSERT_TRUE(open_sans);
    EXPECT_NEAR(*open_sans, (2189.0 + 600.0) / 2048.0, 0.02);
    auto roboto = fonts::line_per_em("Roboto", "Black", "");
    ASSERT_TRUE(roboto);
    EXPECT_GT(*roboto, 1.0);
    EXPECT_FALSE(fonts::line_per_em("Montserrat", "ExtraBold", ""));
    EXPECT_FALSE(fonts::line_per_em("Roboto", "Fancy", ""));
}

// Copying exactly the listed inputs from one tool to another carries the whole style: each
// listed input changes the style, an unlisted one does not.
TEST(Render, TitleStyleInputsAreTheOnesTheStyleReads) {
    auto flat = [](const render::TitleStyle& s) {
        std::vector<double> v = {s.size, s.center_x, s.center_y, s.wrap_width,
                                 s.outline_thickness, s.shadow_offset};
        for (const render::Rgba* c : {&s.fill, &s.outline, &s.shadow})
            v.insert(v.end(), {c->r, c->g, c->b, c->a});
        return std::make_tuple(s.font, s.style, v);
    };
    const auto plain = flat(render::style_from_tool(vestrel::resolve_sim::Tool{}));
    for (const char* name : render::kTitleStyleInputs) {
        vestrel::resolve_sim::Tool t;
        const std::string n = name;
        if (n == "Font" || n == "Style")
            t.set_input(n, std::string("Changed"));
        else
            t.set_input(n, 0.123);
        EXPECT_NE(flat(render::style_from_tool(t)), plain) << name;
    }
    vestrel::resolve_sim::Tool other;
    other.set_input("StyledText", std::string("words"));
    other.set_input("Red4", 0.123);
    EXPECT_EQ(flat(render::style_from_tool(other)), plain);
}
