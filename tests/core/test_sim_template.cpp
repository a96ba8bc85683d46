#include <gtest/gtest.h>

#include "core/sim_template.hpp"

using namespace vestrel::resolve_sim;

namespace {

Json text(std::string s) {
    Json j;
    j.type = Json::Type::Text;
    j.text = std::move(s);
    return j;
}
Json integer(int64_t v) {
    Json j;
    j.type = Json::Type::Int;
    j.integer = v;
    j.number = static_cast<double>(v);
    j.text = std::to_string(v);
    return j;
}
Json number(double v) {
    Json j;
    j.type = Json::Type::Float;
    j.number = v;
    return j;
}
Json list(std::vector<Json> items) {
    Json j;
    j.type = Json::Type::List;
    j.items = std::move(items);
    return j;
}
Json object(std::vector<std::pair<std::string, Json>> members) {
    Json j;
    j.type = Json::Type::Object;
    j.members = std::move(members);
    return j;
}
Json flag(bool b) {
    Json j;
    j.type = Json::Type::Bool;
    j.flag = b;
    return j;
}

// A template with one timeline (two audio tracks, a mix) and one title clip.
Json document() {
    Json mix = object({{"track", integer(2)}, {"level", number(-14.5)}, {"duckUnder", integer(1)}});
    Json timeline = object({{"name", text("Main")},
                            {"frameRate", integer(30)},
                            {"width", integer(1080)},
                            {"audioTracks", integer(2)},
                            {"audioMix", list({mix})}});
    Json inputs = object({{"Size", number(0.08)}, {"Font", text("Open Sans")}});
    Json tool =
        object({{"name", text("Template")}, {"regId", text("TextPlus")}, {"inputs", inputs}});
    Json clip = object({{"name", text("Caption")},
                        {"type", text("title")},
                        {"duration", integer(3)},
                        {"fusion", list({tool})}});
    return object({
        {"format", text(kTemplateFormat)},
        {"version", integer(1)},
        {"settings", object({{"timelineFrameRate", text("30")}, {"colorScience", integer(2)}})},
        {"timelines", list({timeline})},
        {"currentTimeline", text("Main")},
        {"mediaPool", list({clip})},
    });
}

// The document with the member at `path` (names of objects, "#n" for list items) replaced.
Json with(Json doc, std::vector<std::string> path, Json value) {
    Json* at = &doc;
    for (const std::string& key : path) {
        if (key[0] == '#') {
            at = &at->items[std::stoul(key.substr(1))];
            continue;
        }
        Json* next = nullptr;
        for (auto& [k, v] : at->members)
            if (k == key) next = &v;
        if (!next) {
            at->members.emplace_back(key, Json{});
            next = &at->members.back().second;
        }
        at = next;
    }
    *at = std::move(value);
    return doc;
}

}  // namespace

TEST(SimTemplate, ReadsEveryFieldInOrder) {
    auto t = template_of(document());
    ASSERT_TRUE(t);
    ASSERT_EQ(t->settings.size(), 2u);
    EXPECT_EQ(t->settings[0], (std::pair<std::string, std::string>{"timelineFrameRate", "30"}));
    EXPECT_EQ(t->settings[1].second, "2");  // integers are kept as text
    ASSERT_EQ(t->timelines.size(), 1u);
    const TimelineDef& tl = t->timelines[0];
    EXPECT_EQ(tl.rate_text, "30");
    EXPECT_EQ(tl.width, 1080);
    EXPECT_EQ(tl.height, 1080);  // the default
    EXPECT_EQ(tl.audio_tracks, 2);
    ASSERT_EQ(tl.audio_mix.size(), 2u);
    EXPECT_DOUBLE_EQ(tl.audio_mix[1].level_db, -14.5);
    EXPECT_EQ(tl.audio_mix[1].duck_under, 1);
    EXPECT_EQ(tl.audio_mix[0].duck_under, 0);
    EXPECT_EQ(t->current_timeline, "Main");
    ASSERT_EQ(t->clips.size(), 1u);
    EXPECT_EQ(t->clips[0].kind, ClipKind::Title);
    EXPECT_DOUBLE_EQ(t->clips[0].duration, 3.0);
    ASSERT_EQ(t->clips[0].fusion.size(), 1u);
    const ToolDef& tool = t->clips[0].fusion[0];
    EXPECT_EQ(tool.reg_id, "TextPlus");
    ASSERT_EQ(tool.inputs.size(), 2u);
    EXPECT_EQ(std::get<double>(tool.inputs[0].second), 0.08);
    EXPECT_EQ(std::get<std::string>(tool.inputs[1].second), "Open Sans");
}

TEST(SimTemplate, DefaultsForMissingFields) {
    auto t = template_of(object({{"format", text(kTemplateFormat)}, {"version", integer(1)}}));
    ASSERT_TRUE(t);
    EXPECT_TRUE(t->settings.empty());
    EXPECT_TRUE(t->timelines.empty());
    EXPECT_TRUE(t->clips.empty());
    EXPECT_EQ(t->current_timeline, "");
}

// Each case breaks one field; the whole file is refused.
TEST(SimTemplate, RefusesAFileWithOneBadField) {
    const std::vector<std::pair<std::vector<std::string>, Json>> cases = {
        {{"format"}, text("other")},
        {{"version"}, integer(2)},
        {{"version"}, number(1.0)},  // a float is no version number
        {{"version"}, flag(true)},   // nor is true
        {{"settings"}, list({})},
        {{"settings", "x"}, number(1.5)},
        {{"timelines"}, object({})},
        {{"timelines", "#0", "name"}, integer(1)},
        {{"timelines", "#0", "frameRate"}, text("fast")},
        {{"timelines", "#0", "width"}, integer(0)},
        {{"timelines", "#0", "height"}, integer(100001)},
        {{"timelines", "#0", "videoTracks"}, flag(true)},
        {{"timelines", "#0", "audioMix", "#0", "track"}, integer(3)},  // only two tracks
        {{"timelines", "#0", "audioMix", "#0", "level"}, text("-14")},
        {{"timelines", "#0", "audioMix", "#0", "duckUnder"}, integer(-1)},
        {{"currentTimeline"}, Json{}},
        {{"mediaPool", "#0", "type"}, text("video")},
        {{"mediaPool", "#0", "duration"}, integer(0)},
        {{"mediaPool", "#0", "fusion", "#0", "regId"}, integer(5)},
        {{"mediaPool", "#0", "fusion", "#0", "inputs", "Size"}, flag(false)},
        {{"mediaPool", "#0", "fusion"}, object({})},
    };
    ASSERT_TRUE(template_of(document()));
    for (const auto& [path, value] : cases) {
        std::string where;
        for (const auto& p : path) where += "/" + p;
        EXPECT_FALSE(template_of(with(document(), path, value))) << where;
    }
    EXPECT_FALSE(template_of(list({})));
}

// An integer beyond 64 bits keeps its digits as a setting and is out of every range.
TEST(SimTemplate, HugeIntegersKeepTheirDigitsAndFailRanges) {
    Json huge = integer(INT64_MAX);
    huge.text = "123456789012345678901234567890";
    auto t = template_of(with(document(), {"settings", "x"}, huge));
    ASSERT_TRUE(t);
    EXPECT_EQ(t->settings.back().second, "123456789012345678901234567890");
    EXPECT_FALSE(template_of(with(document(), {"version"}, huge)));
    EXPECT_FALSE(template_of(with(document(), {"timelines", "#0", "width"}, huge)));
}
