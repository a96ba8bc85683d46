#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "core/outputs.hpp"
#include "temp_dir.hpp"

using namespace vestrel::outputs;
namespace fs = std::filesystem;

TEST(Outputs, OnlyRendersAndExportsAreOutputs) {
    for (const char* ok : {"short.mp4", "short.otioz", "short.zip", "short.edl", "short.srt",
                           "short.ass", "short.xml", "bg_1234567.mp4", "Grüße.srt"})
        EXPECT_TRUE(is_output_name(ok)) << ok;
    for (const char* no : {"bg_1234abcd.mp4", "music_0000aaaa.mp4", "Voice_00000000.srt",
                           "bg_1234abcd_thumb.jpg", "voice_0a0b0c0d.mp3", "tolvane.drp",
                           "db.json", ".hidden.mp4", "short.MP4", "short.mp4.part", "mp4",
                           ".mp4", "a/b.mp4", "a\\b.mp4", "", "x\n.srt"})
        EXPECT_FALSE(is_output_name(no)) << no;
    EXPECT_FALSE(is_output_name(std::string(253, 'a') + ".srt"));
    EXPECT_EQ(output_kind("a.b.otioz"), "otioz");
    EXPECT_EQ(output_kind("a.mp3"), "");
}

TEST(Outputs, ListingSkipsAssetsFoldersAndLinksNewestFirst) {
    const TempDir tmp("outputs-test");
    const fs::path& dir = tmp.path;
    fs::create_directories(dir / "sub.mp4");
    auto write = [&](const char* name, int bytes) {
        std::ofstream(dir / name) << std::string(bytes, 'x');
    };
    write("old.mp4", 3);
    write("new.srt", 5);
    write("bg_00112233.mp4", 7);
    write("voice_00112233.mp3", 7);
    write("notes.txt", 1);
    fs::create_symlink(dir / "old.mp4", dir / "link.mp4");
    const auto now = fs::last_write_time(dir / "new.srt");
    fs::last_write_time(dir / "old.mp4", now - std::chrono::hours(1));

    const auto found = list_outputs(dir);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].name, "new.srt");
    EXPECT_EQ(found[0].size, 5u);
    EXPECT_EQ(found[1].name, "old.mp4");
    EXPECT_GT(found[0].modified, found[1].modified);
    EXPECT_GT(found[1].modified, 1.0e9);  // seconds since the epoch, not a clock's own scale

    EXPECT_TRUE(list_outputs(dir / "missing").empty());
}

TEST(Outputs, RemovalTakesOnlyARegularFileOfTheFolder) {
    const TempDir tmp("outputs-remove-test");
    const fs::path dir = tmp / "cache";
    const fs::path outside = tmp / "outside.mp4";
    fs::create_directories(dir / "sub.mp4");
    std::ofstream(dir / "a.mp4") << "x";
    std::ofstream(outside) << "keep";
    fs::create_symlink(outside, dir / "link.mp4");
    std::string why;
    EXPECT_EQ(remove_output(dir, "a.mp4", why), Removal::Removed);
    EXPECT_FALSE(fs::exists(dir / "a.mp4"));
    EXPECT_EQ(remove_output(dir, "a.mp4", why), Removal::NotFound);
    EXPECT_EQ(remove_output(dir, "link.mp4", why), Removal::NotFound);  // links are left
    EXPECT_TRUE(fs::exists(outside));
    EXPECT_EQ(remove_output(dir, "sub.mp4", why), Removal::NotFound);
    EXPECT_TRUE(fs::is_directory(dir / "sub.mp4"));
    EXPECT_TRUE(why.empty());
}
