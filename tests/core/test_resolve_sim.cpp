#include <gtest/gtest.h>

#include "core/resolve_sim.hpp"

using namespace vestrel::resolve_sim;

namespace {

std::shared_ptr<Project> project_with_timeline(const char* rate) {
    ProjectManager pm;
    auto p = pm.create_project("p");
    p->set_setting("timelineFrameRate", rate);
    p->current_timeline = p->create_timeline("Timeline 1");
    return p;
}

PlacementRequest request(std::shared_ptr<Clip> c, int64_t end, int64_t record, int64_t track = 1,
                         int64_t media_type = 0) {
    PlacementRequest r;
    r.clip = std::move(c);
    r.start_frame = 0;
    r.end_frame = end;
    r.record_frame = record;
    r.track_index = track;
    r.media_type = media_type;
    return r;
}

}  // namespace

TEST(ResolveSim, ImportedMediaCountsInItsOwnRateAudioInTheTimelines) {
    auto p = project_with_timeline("30");
    MediaInfo video{true, true, Rational{25, 1}, 2.0, 64, 64};
    MediaInfo audio{false, true, std::nullopt, 3.0, 0, 0};
    auto v = p->import_media("/m/v.mp4", "v.mp4", video);
    auto a = p->import_media("/m/a.wav", "a.wav", audio);
    EXPECT_EQ(v->fps_text, "25");
    EXPECT_EQ(v->frames, 50);
    EXPECT_EQ(a->fps_text, "30");
    EXPECT_EQ(a->frames, 90);
    EXPECT_EQ(p->import_media("/m/x", "x", MediaInfo{}), nullptr);
    ASSERT_EQ(p->media_pool->root->clips.size(), 2u);
    EXPECT_EQ(p->current_timeline->start_frame, 108000);
}

TEST(ResolveSim, PlacementLengthsPartsAndOverlaps) {
    auto p = project_with_timeline("30");
    auto v = p->import_media("/m/v.mp4", "v.mp4", MediaInfo{true, true, Rational{24, 1}, 1.0, 8, 8});
    Timeline& tl = *p->current_timeline;

    auto both = tl.append(request(v, 22, 108000));  // 23 frames at 24 -> 28 at 30
    ASSERT_EQ(both.size(), 2u);
    EXPECT_EQ(both[0]->track_type, TrackType::Video);
    EXPECT_EQ(both[1]->track_type, TrackType::Audio);
    EXPECT_EQ(both[0]->duration, 28);
    EXPECT_EQ(both[0]->comps.size(), 1u);
    EXPECT_TRUE(both[1]->comps.empty());

    EXPECT_TRUE(tl.append(request(v, 22, 108027, 1, 2)).empty());   // audio overlaps
    EXPECT_EQ(tl.append(request(v, 22, 108028, 1, 2)).size(), 1u);  // audio right after
    EXPECT_TRUE(tl.append(request(v, 22, 108027, 2, 1)).empty());   // no video track 2 yet
    tl.add_track(TrackType::Video);
    EXPECT_EQ(tl.append(request(v, 22, 108027, 2, 1)).size(), 1u);
    EXPECT_TRUE(tl.append(request(v, 22, 0, 3, 0)).empty());        // no track 3
    EXPECT_TRUE(tl.append(request(v, 22, 0, 1, 7)).empty());        // unknown media type
    EXPECT_EQ(tl.end_frame(), 108056);
}

TEST(ResolveSim, ProjectsAndTemplates) {
    ProjectManager pm;
    ProjectTemplate t;
    t.settings = {{"timelineFrameRate", "29.97"}};
    t.timelines = {TimelineDef{"Timeline 1", "29.97", 1080, 1920, 5, 2}};
    t.clips = {ClipDef{"Caption", ClipKind::Title, 5.0, {{"Template", "TextPlus", {{"Size", 0.1}}}}}};
    ASSERT_TRUE(pm.import_project(t, "a"));
    EXPECT_FALSE(pm.import_project(t, "a"));
    EXPECT_EQ(pm.current, nullptr);
    auto a = pm.load_project("a");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->current_timeline->start_frame, 108000);
    EXPECT_EQ(a->current_timeline->video.size(), 5u);
    auto caption = a->media_pool->root->clips.at(0);
    EXPECT_EQ(caption->fps_text, "29.97");
    auto items = a->current_timeline->append(request(caption, 29, 108000, 3));
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0]->duration, 30);
    ASSERT_NE(items[0]->comps[0]->find_tool("Template"), nullptr);

    EXPECT_FALSE(pm.delete_project("a"));
    EXPECT_TRUE(pm.close_project(a));
    EXPECT_TRUE(pm.delete_project("a"));
    EXPECT_EQ(pm.load_project("a"), nullptr);
}

TEST(ResolveSim, ScriptSettingsOfTimelineAndProject) {
    auto p = project_with_timeline("30");
    Timeline& t = *p->current_timeline;
    EXPECT_EQ(t.settings()[0], (std::pair<std::string, std::string>{"timelineFrameRate", "30"}));
    EXPECT_TRUE(t.set_setting("timelineResolutionWidth", "1080.7 px"));
    EXPECT_EQ(t.width, 1080);
    EXPECT_FALSE(t.set_setting("timelineResolutionHeight", "0"));
    EXPECT_FALSE(t.set_setting("timelineResolutionHeight", "tall"));
    EXPECT_FALSE(t.set_setting("colorScience", "5"));
    EXPECT_EQ(t.settings()[1].second, "1080");
    EXPECT_EQ(t.settings()[2].second, "1080");  // the project's default height, untouched
    EXPECT_TRUE(t.set_setting("timelineFrameRate", "25"));
    EXPECT_EQ(t.settings()[0].second, "25");
    // Once the timeline holds an item its rate stays.
    MediaInfo video{true, false, Rational{25, 1}, 2.0, 64, 64};
    auto clip = p->import_media("/m/v.mp4", "v.mp4", video);
    ASSERT_EQ(p->append({request(clip, 10, t.start_frame)}).size(), 1u);
    EXPECT_FALSE(t.set_setting("timelineFrameRate", "30"));
    EXPECT_EQ(t.settings()[0].second, "25");

    EXPECT_FALSE(p->change_setting("", "x"));
    EXPECT_FALSE(p->change_setting("timelineFrameRate", "fast"));
    EXPECT_TRUE(p->change_setting("timelineFrameRate", "29.97 DF"));
    EXPECT_EQ(p->setting("timelineFrameRate"), "29.97 DF");
}

TEST(ResolveSim, TrackTypesAndFileNames) {
    EXPECT_EQ(track_type_of("video"), TrackType::Video);
    EXPECT_EQ(track_type_of("audio"), TrackType::Audio);
    EXPECT_FALSE(track_type_of("Video"));
    EXPECT_FALSE(track_type_of("subtitle"));
    EXPECT_EQ(file_name_of("/a/b.c/d.mp4"), "d.mp4");
    EXPECT_EQ(file_name_of("plain"), "plain");
    EXPECT_EQ(file_stem("/a/b.c/d.tar.gz"), "d.tar");
    EXPECT_EQ(file_stem("/a/b.c/noending"), "noending");
    EXPECT_EQ(file_stem("/a/.hidden"), ".hidden");
}

TEST(ResolveSim, AddedCompsAreNumberedAfterTheItemsOwn) {
    TimelineItem item;
    item.comps.push_back(std::make_shared<Comp>());
    auto c = item.add_comp();
    EXPECT_EQ(c->name, "Composition 2");
    EXPECT_TRUE(c->tools.empty());
    EXPECT_EQ(item.add_comp()->name, "Composition 3");
    ASSERT_EQ(item.comps.size(), 3u);
    EXPECT_EQ(item.comps[1], c);
}
