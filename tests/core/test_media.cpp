#include "core/media.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "temp_dir.hpp"

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
    const TempDir tmp("media-test");
    const fs::path& root = tmp.path;
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
}

namespace {

void touch(const fs::path& p, long long age_seconds = 0) {
    std::ofstream(p) << "x";
    fs::last_write_time(p, fs::file_time_type::clock::now() - std::chrono::seconds(age_seconds));
}

}  // namespace

TEST(MediaSweep, AssetIdOf) {
    EXPECT_EQ(asset_id_of("bg_0123abcd.mp4"), "bg_0123abcd");
    EXPECT_EQ(asset_id_of("bg_0123abcd_thumb.jpg"), "bg_0123abcd");
    EXPECT_EQ(asset_id_of("music_ffffffff"), "music_ffffffff");
    EXPECT_EQ(asset_id_of("bg_0123ABCD.mp4"), "");
    EXPECT_EQ(asset_id_of("bg_0123abc.mp4"), "");
    EXPECT_EQ(asset_id_of("voice_0123abcd.mp3"), "");
    EXPECT_EQ(asset_id_of("xbg_0123abcd.mp4"), "");
}

TEST(MediaSweep, OrphansAreOldUnrecordedAssetFilesOnly) {
    const TempDir d_tmp("media-orphans");
    const fs::path& d = d_tmp.path;
    touch(d / "bg_00000001.mp4", 7200);        // recorded
    touch(d / "bg_00000002.mp4", 7200);        // orphan
    touch(d / "bg_00000002_thumb.jpg", 7200);  // orphan
    touch(d / "music_00000003.mp3", 10);       // young orphan: may be an upload under way
    touch(d / "voice_00000004.mp3", 7200);     // never an asset
    fs::create_directory(d / "bg_00000005");   // directories are never listed
    EXPECT_EQ(orphan_asset_files(d, {"bg_00000001"}, 3600),
              (std::vector<std::string>{"bg_00000002.mp4", "bg_00000002_thumb.jpg"}));
    EXPECT_EQ(remove_names(d, {"bg_00000002.mp4", "missing"}), 1u);
}

TEST(MediaSweep, StaleCatalogueTemps) {
    const TempDir d_tmp("media-temps");
    const fs::path& d = d_tmp.path;
    for (const char* n : {"db.json", "db.json.lock", "db.jsonab12.tmp", "db.json.tmp", "x.tmp",
                          "db.jsonX.tmp.bak"})
        touch(d / n);
    EXPECT_EQ(stale_catalogue_temps(d, "db.json"), (std::vector<std::string>{"db.jsonab12.tmp"}));
}

TEST(MediaServe, OpensOnlyRegularFilesInside) {
    const TempDir d_tmp("media-serve");
    const fs::path& d = d_tmp.path;
    const TempDir out_tmp("media-serve_out");
    const fs::path& out = out_tmp.path;
    touch(d / "a.jpg");
    touch(out / "secret.jpg");
    fs::create_symlink(out / "secret.jpg", d / "link.jpg");
    fs::create_symlink(d / "a.jpg", d / "alias.jpg");
    fs::create_directory(d / "sub");
    int fd = open_regular_file_inside(d, d / "a.jpg");
    EXPECT_GE(fd, 0);
    if (fd >= 0) ::close(fd);
    fd = open_regular_file_inside(d, d / "alias.jpg");
    EXPECT_GE(fd, 0);
    if (fd >= 0) ::close(fd);
    EXPECT_EQ(open_regular_file_inside(d, d / "link.jpg"), -1);
    EXPECT_EQ(open_regular_file_inside(d, d / "sub"), -1);
    EXPECT_EQ(open_regular_file_inside(d, d / ".."), -1);
    EXPECT_EQ(open_regular_file_inside(d, d / "missing"), -1);
}

TEST(MediaLock, SecondLockWaitsForTheFirst) {
    const TempDir d_tmp("media-lock");
    const fs::path& d = d_tmp.path;
    const fs::path p = d / "db.json.lock";
    std::atomic<bool> second_has_it{false};
    std::thread t;
    {
        FileLock first(p);
        EXPECT_TRUE(fs::exists(p));
        // flock locks belong to open files: a second open in this process waits too.
        t = std::thread([&] {
            FileLock second(p);
            second_has_it = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_FALSE(second_has_it.load());
    }
    t.join();
    EXPECT_TRUE(second_has_it.load());
    EXPECT_THROW(FileLock(d / "missing_dir" / "x.lock"), std::system_error);
}

TEST(MediaFiles, AssetFilesPreferTheExtensionThenAnUploadsOwn) {
    const TempDir d_tmp("media-asset_files");
    const fs::path& d = d_tmp.path;
    for (const char* n : {"bg_1.mp4", "bg_1.mov", "bg_2.mov", "bg_2_thumb.jpg", "bg_3.webm",
                          "bg_3.avi", "bg_4_thumb.jpg"})
        touch(d / n);
    // Only an upload may be stored under another extension; the first by name is taken.
    EXPECT_EQ(asset_files(d, {"bg_1", "bg_2", "bg_2", "bg_3", "bg_4", "bg_5"},
                          {false, false, true, true, true, true}, ".mp4"),
              (std::vector<std::string>{"bg_1.mp4", "", "bg_2.mov", "bg_3.avi", "", ""}));
    EXPECT_TRUE(asset_files(d / "missing", {"bg_1"}, {true}, ".mp4")[0].empty());
}

TEST(MediaFiles, RemoveWithPrefixKeepsDirectoriesAndOtherNames) {
    const TempDir d_tmp("media-prefix");
    const fs::path& d = d_tmp.path;
    for (const char* n : {"bg_1.mp4", "bg_1_thumb.jpg", "bg_2.mp4", "xbg_1.mp4"}) touch(d / n);
    fs::create_directory(d / "bg_1dir");
    remove_with_prefix(d, "bg_1");
    EXPECT_EQ(list_names(d).size(), 3u);
    EXPECT_TRUE(fs::exists(d / "bg_2.mp4") && fs::exists(d / "xbg_1.mp4"));
    EXPECT_TRUE(fs::is_directory(d / "bg_1dir"));
}

TEST(MediaNames, TemplateCandidatesInLookupOrder) {
    auto names = [](const std::string& id) {
        std::vector<std::string> out;
        for (const TemplateCandidate& c : template_candidates(id))
            out.push_back((c.builtin ? "builtin/" : "cache/") + c.name);
        return out;
    };
    EXPECT_EQ(names("tolvane"), (std::vector<std::string>{"cache/tolvane", "cache/tolvane.drp",
                                                          "builtin/tolvane.drp",
                                                          "builtin/tolvane"}));
    EXPECT_EQ(names("tolvane_modern_fonts.drp"),
              (std::vector<std::string>{"cache/tolvane_modern_fonts.drp",
                                        "builtin/tolvane_modern_fonts.drp",
                                        "builtin/tolvane_modern_fonts.drp"}));
    // Only the exact built-in names are mapped; ".DRP" is not ".drp".
    EXPECT_EQ(names("my.DRP"), (std::vector<std::string>{"cache/my.DRP", "cache/my.DRP.drp",
                                                         "builtin/my.DRP"}));
}

TEST(MediaServe, ServedFileNeedsAPlainName) {
    const TempDir d_tmp("media-served");
    const fs::path& d = d_tmp.path;
    touch(d / "a.mp4");
    fs::create_directory(d / "sub");
    touch(d / "sub" / "b.mp4");
    const int fd = open_served_file(d, "a.mp4");
    EXPECT_GE(fd, 0);
    if (fd >= 0) ::close(fd);
    for (const std::string& name : std::vector<std::string>{"", "sub/b.mp4", "sub", ".", "..",
                                                            std::string("a.mp4\0x", 7)})
        EXPECT_EQ(open_served_file(d, name), -1) << name;
}

TEST(MediaSweep, SweepTakesTempsAlwaysAndOrphansOnlyWithACatalogue) {
    const TempDir d_tmp("media-sweep");
    const fs::path& d = d_tmp.path;
    for (const char* n : {"db.jsonab12.tmp", "bg_00000001.mp4", "bg_00000002.mp4"})
        touch(d / n, 7200);
    sweep_crash_debris(d / "db.json", d, std::nullopt);
    EXPECT_EQ(list_names(d).size(), 2u);
    sweep_crash_debris(d / "db.json", d, std::vector<std::string>{"bg_00000002"});
    EXPECT_EQ(list_names(d), (std::vector<std::string>{"bg_00000002.mp4"}));
}
