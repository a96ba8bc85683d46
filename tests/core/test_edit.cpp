#include <gtest/gtest.h>

#include <cctype>
#include <limits>

#include "core/edit.hpp"

using namespace vestrel;
using edit::Placement;
using edit::SceneTimes;

namespace {

std::vector<SceneTimes> scenes_from(std::initializer_list<std::pair<double, double>> captions) {
    std::vector<SceneTimes> out;
    for (auto [s, e] : captions) out.push_back({s, e});
    return out;
}

}  // namespace

TEST(SceneTimes, OneSceneStartsAtZeroAndOutlastsItsCaptions) {
    auto scenes = scenes_from({{0.4, 3.0}});
    edit::set_scenes_duration(scenes);
    EXPECT_EQ(scenes[0].start, 0.0);
    EXPECT_EQ(scenes[0].end, 4.0);
    EXPECT_EQ(scenes[0].fade_in, 0.5);
    EXPECT_FALSE(scenes[0].fade_out_set);
}

TEST(SceneTimes, LongPauseIsSplitWithFadesShortPauseIsClosed) {
    auto a = scenes_from({{0.2, 3.0}, {5.0, 8.0}});
    edit::set_scenes_duration(a);
    EXPECT_EQ(a[0].end, 4.0);
    EXPECT_EQ(a[0].fade_out, 1.0);
    EXPECT_EQ(a[1].start, 4.0);
    EXPECT_EQ(a[1].fade_in, 1.0);
    EXPECT_EQ(a[1].end, 9.0);
    EXPECT_FALSE(a[1].fade_out_set);

    auto b = scenes_from({{0.0, 3.0}, {4.4, 6.0}});
    edit::set_scenes_duration(b);
    EXPECT_EQ(b[0].end, 4.4);
    EXPECT_FALSE(b[0].fade_out_set);
    EXPECT_FALSE(b[1].fade_in_set);
    EXPECT_EQ(b[1].start, 4.4);
    EXPECT_EQ(b[1].end, 7.0);

    // 1.5 itself is a long pause; an overlap moves this scene's end back to the next start.
    auto c = scenes_from({{0.0, 2.0}, {3.5, 5.0}, {4.5, 6.0}});
    edit::set_scenes_duration(c);
    EXPECT_EQ(c[0].fade_out, 0.75);
    EXPECT_EQ(c[1].fade_in, 0.75);
    EXPECT_EQ(c[0].end, 2.75);
    EXPECT_EQ(c[1].end, 4.5);
    EXPECT_EQ(c[2].start, 4.5);
}

TEST(SceneTimes, FadesAreOnlySetNeverReset) {
    auto scenes = scenes_from({{0.0, 2.0}, {2.5, 4.0}});
    scenes[1].fade_in = 0.3;
    scenes[0].fade_out = 0.2;
    edit::set_scenes_duration(scenes);
    EXPECT_EQ(scenes[1].fade_in, 0.3);
    EXPECT_EQ(scenes[0].fade_out, 0.2);
    EXPECT_FALSE(scenes[1].fade_in_set);
}

TEST(SceneTimes, ScenesTileTheTimeline) {
    auto scenes = scenes_from({{0.7, 2.0}, {2.1, 3.0}, {6.0, 7.0}, {6.5, 9.0}, {12.0, 12.5}});
    edit::set_scenes_duration(scenes);
    EXPECT_EQ(scenes.front().start, 0.0);
    for (size_t i = 0; i + 1 < scenes.size(); ++i) EXPECT_EQ(scenes[i].end, scenes[i + 1].start);
    EXPECT_EQ(scenes.back().end, 13.5);
}

TEST(FadeClips, KeyIsTheLargestNotAboveTheLength) {
    const std::pair<double, std::optional<double>> cases[] = {
        {0.1, std::nullopt}, {0.2, 0.2}, {0.49, 0.2}, {0.5, 0.5},
        {0.75, 0.5},         {0.99, 0.5}, {1.0, 1.0}, {3.0, 1.0},
    };
    for (auto [length, key] : cases) EXPECT_EQ(edit::fade_clip_key(length), key) << length;
    EXPECT_STREQ(edit::fade_in_clip(0.5), "FadeIn_500ms");
    EXPECT_STREQ(edit::fade_out_clip(1.0), "FadeOut_1000ms");
    EXPECT_STREQ(edit::fade_out_clip(0.2), "FadeOut_200ms");
}

TEST(Counters, MarkerWordAndTable) {
    EXPECT_TRUE(edit::is_counter_line(" <counter> Drittens."));
    EXPECT_FALSE(edit::is_counter_line("<counter> Drittens."));
    EXPECT_EQ(edit::counter_word(" <counter> Drittens."), " Drittens");
    EXPECT_EQ(edit::counter_word(" <counter>Tipp.."), "Tipp.");
    EXPECT_EQ(edit::counter_for("zwölftens"), "12");
    EXPECT_EQ(edit::counter_for("erstens"), "1");
    EXPECT_EQ(edit::counter_for(" erstens"), std::nullopt);
    EXPECT_EQ(edit::clean_caption(" Hallo, \"Welt\". Ja?!"), " Hallo Welt Ja?!");
}

// The shown text of a line: the lower-casing is asked only for a counter line's word, and
// a word the table lacks is shown as spoken.
TEST(Counters, ShownLineLooksUpTheLoweredWordOnlyForCounterLines) {
    std::vector<std::string> asked;
    auto lower = [&](const std::string& word) {
        asked.push_back(word);
        std::string out = word;
        for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return out;
    };
    struct Case {
        const char* text;
        bool counter;
        const char* shown;
        std::vector<std::string> asked;
    } cases[] = {
        {" <counter>Erstens.", true, "1", {"Erstens"}},
        {" <counter>ERSTENS", true, "1", {"ERSTENS"}},
        {" <counter> Drittens.", true, " Drittens", {" Drittens"}},
        {" <counter>Tipp..", true, "Tipp.", {"Tipp."}},
        {"Hallo, \"Welt\".", false, "Hallo Welt", {}},
        {"<counter>Erstens.", false, "<counter>Erstens", {}},
    };
    for (const Case& c : cases) {
        asked.clear();
        const edit::ShownLine shown = edit::shown_line(c.text, lower);
        EXPECT_EQ(shown.counter, c.counter) << c.text;
        EXPECT_EQ(shown.text, c.shown) << c.text;
        EXPECT_EQ(asked, c.asked) << c.text;
    }
}

// The report row writes each time as the host's format(x, ".2f") does: exact rounding of the
// binary value (ties to even), the sign of zero kept, no sign on NaN.
TEST(SceneRow, TimesWithTwoDecimalsAsTheHostWritesThem) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        double start, end;
        const char* row;
    } cases[] = {
        {0.125, 2.675, "Scene 3: 0.12 \u2192 2.67"},
        {1.005, 0.005, "Scene 3: 1.00 \u2192 0.01"},
        {-0.0, 1e16, "Scene 3: -0.00 \u2192 10000000000000000.00"},
        {inf, -inf, "Scene 3: inf \u2192 -inf"},
        {nan, -nan, "Scene 3: nan \u2192 nan"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(edit::scene_row(3, {.start = c.start, .end = c.end}), c.row);
}

TEST(Plan, OrderTracksAndFadePlacement) {
    std::vector<edit::PlanScene> scenes = {
        {0.0, 4.0, 0.5, 1.0, {{0.2, 3.0, false}}},
        {4.0, 9.0, 1.0, 0.0, {{5.0, 6.0, false}, {6.0, 8.0, false}}},
    };
    auto plan = edit::plan_placements(scenes);
    ASSERT_EQ(plan.size(), 8u);
    using K = Placement::Kind;
    const K kinds[] = {K::Background, K::FadeIn,  K::FadeOut, K::Caption,
                       K::Background, K::FadeIn, K::Caption, K::Caption};
    for (size_t i = 0; i < 8; ++i) EXPECT_EQ(plan[i].kind, kinds[i]) << i;
    EXPECT_EQ(plan[2].start, 3.0);  // the fade-out ends at the scene end
    EXPECT_EQ(*plan[2].key, 1.0);
    EXPECT_EQ(plan[5].start, 4.0);
    EXPECT_EQ(plan[6].track, edit::kCaptionTrack);
    EXPECT_EQ(plan[7].duration, 2.0);
    for (const Placement& p : plan) EXPECT_FALSE(p.clipped);
}

TEST(Plan, CounterLastsUntilTheNextSceneWithACounter) {
    std::vector<edit::PlanScene> scenes = {
        {0.0, 3.0, 0.5, 0.0, {{0.5, 2.0, true}}},
        {3.0, 6.0, 0.0, 0.0, {{3.0, 6.0, false}}},
        {6.0, 9.0, 0.0, 0.0, {{6.5, 8.0, true}}},
    };
    auto plan = edit::plan_placements(scenes);
    std::vector<Placement> counters;
    for (const Placement& p : plan)
        if (p.kind == Placement::Kind::Counter) counters.push_back(p);
    ASSERT_EQ(counters.size(), 2u);
    EXPECT_EQ(counters[0].start, 0.5);
    EXPECT_EQ(counters[0].duration, 5.5);
    EXPECT_EQ(counters[1].duration, 3.0);  // the own scene's length, from the line start
    EXPECT_EQ(counters[1].track, edit::kCounterTrack);
}

TEST(Plan, OverlapsOnOneTrackEndWhereTheLaterItemBegins) {
    // Two counters in one scene, and caption lines overlapping by 0.75 s.
    std::vector<edit::PlanScene> scenes = {
        {0.0, 6.0, 0.5, 0.0, {{0.0, 2.0, true}, {1.0, 2.75, false}, {2.0, 4.0, false},
                              {3.0, 5.0, true}}},
    };
    auto plan = edit::plan_placements(scenes);
    std::vector<Placement> counters, captions;
    for (const Placement& p : plan) {
        if (p.kind == Placement::Kind::Counter) counters.push_back(p);
        if (p.kind == Placement::Kind::Caption) captions.push_back(p);
    }
    ASSERT_EQ(counters.size(), 2u);
    EXPECT_EQ(counters[0].duration, 3.0);
    EXPECT_TRUE(counters[0].clipped);
    EXPECT_EQ(counters[1].duration, 6.0);
    EXPECT_FALSE(counters[1].clipped);
    ASSERT_EQ(captions.size(), 2u);
    EXPECT_EQ(captions[0].duration, 1.0);
    EXPECT_TRUE(captions[0].clipped);
    EXPECT_EQ(captions[1].duration, 2.0);
}

TEST(Plan, FadeBelowEveryKeyEndsThePlan) {
    std::vector<edit::PlanScene> scenes = {
        {0.0, 4.0, 0.1, 0.0, {{0.0, 1.0, false}}},
        {4.0, 8.0, 0.0, 0.0, {{4.0, 5.0, false}}},
    };
    auto plan = edit::plan_placements(scenes);
    ASSERT_EQ(plan.size(), 2u);
    EXPECT_EQ(plan.back().kind, Placement::Kind::FadeIn);
    EXPECT_FALSE(plan.back().key.has_value());
}

TEST(Plan, DurationNeverAddsUpPastTheEnd) {
    const double starts[] = {0.1, 0.7, 1.1, 2.3, 10.01, 123.456};
    for (double s : starts)
        for (double e : {s + 0.3, s + 0.2, s + 1.7, s + 0.01}) {
            double d = edit::duration_to(s, e);
            EXPECT_LE(s + d, e) << s << " " << e;
            EXPECT_NEAR(d, e - s, 1e-12);
            if (s + (e - s) <= e) EXPECT_EQ(d, e - s);
        }
}

TEST(Plan, TouchingItemsNeverAddUpPastTheNextStart) {
    // 0.03 + (0.34 - 0.03) is 0.34000000000000002: at 25 fps that end rounds to frame 9 while
    // the next item starts at frame 8. Touching items must not run into each other.
    std::vector<edit::PlanScene> scenes = {
        {0.0, 1.0, 0.5, 0.0, {{0.03, 0.34, false}, {0.34, 0.9, false}}},
    };
    ASSERT_NE(0.03 + (0.34 - 0.03), 0.34);
    auto plan = edit::plan_placements(scenes);
    const Placement& first = plan[2];
    ASSERT_EQ(first.kind, Placement::Kind::Caption);
    EXPECT_LE(first.start + first.duration, 0.34);
    EXPECT_NEAR(first.duration, 0.31, 1e-15);
    EXPECT_FALSE(first.clipped);
    // Where end - start already adds back up, the length is exactly end - start.
    EXPECT_EQ(plan[3].duration, 0.9 - 0.34);
}
