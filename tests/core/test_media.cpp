#include "core/media.hpp"

#include <gtest/gtest.h>

#include <fstream>

namespace fs = std::filesystem;
using namespace vestrel::media;

TEST(MediaNames, Suffix) {
    EXPECT_EQ(suffix("clip.MP4"), ".MP4");
    EXPECT_EQ(suffix("a.tar.gz"), ".gz");
    EXPECT_EQ(suffix("dir.v2/take"), "");
    EXPECT_EQ(suffix("dir/b.mov/"), ".mov");
    EXPECT_EQ(suffix(".hidden"), "");
    EXPECT_EQ(suffix("..mp4"), ".mp4");
    EXPECT_EQ(suffix(".."), "");
    EXPECT_EQ(suffix("song"), "");
    EXPECT_EQ(suffix(""), "");
}

TEST(MediaNames, PexelsVideoId) {
    EXPECT_EQ(pexels_video_id("https://www.pexels.com/video/sea-at-dawn-857251/"), "857251");
    EXPECT_EQ(pexels_video_id("https://www.pexels.com/video/sea-at-dawn-857251"), "857251");
    EXPECT_EQ(pexels_video_id("https://www.pexels.com/video/857251//"), "857251");
    EXPECT_EQ(pexels_video_id("https://x/sea-1?a=b-c"), "c");
    EXPECT_EQ(pexels_video_id("plain"), "plain");
    EXPECT_EQ(pexels_video_id(""), "");
}

TEST(MediaNames, TemplateNames) {
    EXPECT_TRUE(is_plain_template_name("brand", false));
    EXPECT_TRUE(is_plain_template_name("brand.DRP", true));
    EXPECT_TRUE(is_plain_template_name("..drp", true));
    for (std::string_view bad : {"", ".", "..", "a/b", "a\\b", "../x"})
        EXPECT_FALSE(is_plain_template_name(bad, false)) << bad;
    EXPECT_FALSE(is_plain_template_name(".drp", true));
    EXPECT_FALSE(is_plain_template_name(std::string_view("a\0b", 3), false));
}

TEST(MediaNames, MediaTypes) {
    EXPECT_EQ(media_type_for("t.jpg"), "image/jpeg");
    EXPECT_EQ(media_type_for("t.jpeg"), "image/jpeg");
    EXPECT_EQ(media_type_for("t.png"), "image/png");
    EXPECT_EQ(media_type_for("t.mp4"), "video/mp4");
    EXPECT_EQ(media_type_for("t.mp3"), "audio/mpeg");
    EXPECT_EQ(media_type_for("t.MP4"), "application/octet-stream");
    EXPECT_EQ(media_type_for("mp4"), "application/octet-stream");
}

TEST(MediaIndex, OtherFileSkipsPreferredAndThumbnail) {
    StemIndex index({"bg_1.mp4", "bg_1_thumb.jpg", "bg_2_thumb.jpg", "bg_2.webm", "bg_2.mov",
                     "music_3.wav", ".hidden"});
    EXPECT_FALSE(index.other_file("bg_1", ".mp4").has_value());
    EXPECT_EQ(index.other_file("bg_2", ".mp4").value(), "bg_2.mov");
    EXPECT_EQ(index.other_file("music_3", ".mp3").value(), "music_3.wav");
    EXPECT_FALSE(index.other_file("bg_9", ".mp4").has_value());
}

TEST(MediaIndex, DrpNamesAndPrefixes) {
    std::vector<std::string> names{"b.drp", "A.drp", "c.DRP", "d.drp.bak", "\xc3\xa4.drp",
                                   ".drp"};
    EXPECT_EQ(drp_names(names),
              (std::vector<std::string>{".drp", "A.drp", "b.drp", "\xc3\xa4.drp"}));
    EXPECT_EQ(names_with_prefix({"bg_1.mp4", "bg_1_thumb.jpg", "bg_10.mp4", "xbg_1"}, "bg_1"),
              (std::vector<std::string>{"bg_1.mp4", "bg_1_thumb.jpg", "bg_10.mp4"}));
}

TEST(MediaFiles, RegularFileInside) {
    const fs::path root = fs::temp_directory_path() / "vestrel_media_core_test";
    fs::remove_all(root);
    fs::create_directories(root / "cache" / "sub");
    std::ofstream(root / "cache" / "a.mp4") << "x";
    std::ofstream(root / "outside.txt") << "x";
    fs::create_symlink(root / "outside.txt", root / "cache" / "out");
    fs::create_symlink(root / "cache" / "a.mp4", root / "cache" / "alias");
    const fs::path cache = root / "cache";
    EXPECT_TRUE(is_regular_file_inside(cache, cache / "a.mp4"));
    EXPECT_TRUE(is_regular_file_inside(cache, cache / "alias"));
    EXPECT_FALSE(is_regular_file_inside(cache, cache / "out"));
    EXPECT_FALSE(is_regular_file_inside(cache, cache / "sub"));
    EXPECT_FALSE(is_regular_file_inside(cache, cache / ".."));
    EXPECT_FALSE(is_regular_file_inside(cache, cache / "missing"));
    EXPECT_EQ(list_names(cache).size(), 4u);
    fs::remove_all(root);
}
