#include <gtest/gtest.h>

#include <algorithm>

#include "core/timeline_export.hpp"

using namespace vestrel;
namespace tx = vestrel::timeline_export;

TEST(TimelineExport, StemsAreRefusedLikeRenderNames) {
    for (const char* bad : {"", ".hidden", "a/b", "..\\x", "bg_0123abcd", "MUSIC_deadBEEF",
                            "voice_00000000x", "tab\there"})
        EXPECT_TRUE(tx::refuse_stem(bad).has_value()) << bad;
    EXPECT_TRUE(tx::refuse_stem(std::string(201, 'a')).has_value());
    for (const char* good : {"short", "Mein Short 2", "bg_123", "bg_0123abcg", "a.b", "über"})
        EXPECT_FALSE(tx::refuse_stem(good).has_value()) << good;
    EXPECT_EQ(*tx::refuse_stem("bg_0123abcd"),
              "Invalid file name 'bg_0123abcd': names starting with bg_, music_ or voice_ and "
              "eight hexadecimal digits belong to the media library");
    EXPECT_EQ(tx::default_stem("a/b:c"), "a_b_c");
    EXPECT_EQ(tx::default_stem(""), "render");
}

TEST(TimelineExport, FileNamesPerFormat) {
    const std::vector<std::pair<std::string, std::pair<std::string, std::string>>> want = {
        {"otio", {"s.otio", "s.otioz"}},     {"fcpxml", {"s.fcpxml", "s.fcpxml.zip"}},
        {"fcp7xml", {"s.xml", "s.xml.zip"}}, {"edl", {"s.edl", "s.edl"}},
        {"srt", {"s.srt", "s.srt"}},         {"ass", {"s.ass", "s.ass"}},
    };
    ASSERT_EQ(tx::formats().size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(tx::formats()[i], want[i].first);
        EXPECT_EQ(tx::file_name(want[i].first, "s"), want[i].second.first);
        EXPECT_EQ(tx::download_name(want[i].first, "s"), want[i].second.second);
    }
    EXPECT_FALSE(tx::file_name("aaf", "s"));
    EXPECT_FALSE(tx::download_name("OTIO", "s"));
    EXPECT_EQ(tx::media_folder_of("/a/b/short.fcpxml"), "/a/b/short_titles");
    EXPECT_EQ(tx::media_folder_of("/a/b.c/short"), "/a/b.c/short_titles");
    EXPECT_EQ(tx::media_folder_of("short.xml"), "short_titles");
}

TEST(TimelineExport, FadeClipRampsLikeTheRender) {
    render::VideoLayer fade;
    fade.kind = render::VideoLayer::Kind::Colour;
    fade.name = "FadeOut_500ms";
    fade.colour = {0, 0, 0, 1};
    fade.alpha_start = 0.0;
    fade.alpha_end = 1.0;
    fade.ramp_frames = 15;
    auto args = tx::fade_clip_args(fade, 1080, 1920, {30, 1}, 15, "/tmp/f.mov");
    auto at = [&](const char* flag) { return *(std::find(args.begin(), args.end(), flag) + 1); };
    EXPECT_EQ(at("-i"),
              "color=c=0x000000@1:s=1080x1920:r=30/1,format=yuva444p10le,"
              "fade=t=in:s=0:n=15:alpha=1");
    EXPECT_EQ(at("-frames:v"), "15");
    EXPECT_EQ(at("-pix_fmt"), "yuva444p10le");
    EXPECT_EQ(args.back(), "file:/tmp/f.mov");

    fade.alpha_start = 1.0;
    fade.alpha_end = 0.0;
    args = tx::fade_clip_args(fade, 1080, 1920, {30000, 1001}, 20, "/tmp/f.mov");
    EXPECT_EQ(at("-i"),
              "color=c=0x000000@1:s=1080x1920:r=30000/1001,format=yuva444p10le,"
              "fade=t=out:s=0:n=15:alpha=1");
    fade.alpha_end = 0.5;  // a ramp that does not reach 0: the render refuses it too
    EXPECT_THROW(tx::fade_clip_args(fade, 1080, 1920, {30, 1}, 15, "/tmp/f.mov"),
                 render::PlanError);
}
