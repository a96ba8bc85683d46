#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "core/timeline_export.hpp"
#include "temp_dir.hpp"

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

TEST(TimelineExport, UnknownFormatsAreRefusedWithTheKnownOnes) {
    EXPECT_FALSE(tx::refuse_format("fcpxml"));
    EXPECT_EQ(*tx::refuse_format("aaf"),
              "Unknown export format 'aaf': known formats are otio, fcpxml, fcp7xml, edl, srt, "
              "ass");
    EXPECT_EQ(std::string(tx::export_type_name("fcpxml")), "EXPORT_FCPXML_1_8");
    EXPECT_EQ(std::string(tx::export_type_name("fcp7xml")), "EXPORT_FCP_7_XML");
    EXPECT_EQ(std::string(tx::export_type_name("edl")), "EXPORT_EDL");
}

// The export constants are numbered from 1 (types) and 0 (subtypes) in table order; only
// four combinations write a file.
TEST(TimelineExport, ExportTypesChooseTheFile) {
    auto type = [](const char* name) {
        auto it = std::find_if(tx::kExportTypes.begin(), tx::kExportTypes.end(),
                               [&](const char* n) { return std::string(n) == name; });
        return static_cast<int>(it - tx::kExportTypes.begin()) + 1;
    };
    EXPECT_EQ(std::string(tx::kExportSubtypes[0]), "EXPORT_NONE");
    EXPECT_EQ(tx::file_kind(type("EXPORT_OTIO"), std::nullopt), tx::FileKind::Otio);
    EXPECT_EQ(tx::file_kind(type("EXPORT_FCPXML_1_8"), 3), tx::FileKind::Fcpxml);
    EXPECT_EQ(tx::file_kind(type("EXPORT_FCP_7_XML"), std::nullopt), tx::FileKind::Fcp7);
    EXPECT_EQ(tx::file_kind(type("EXPORT_EDL"), 0), tx::FileKind::Edl);
    EXPECT_FALSE(tx::file_kind(type("EXPORT_EDL"), std::nullopt));  // an EDL needs its subtype
    EXPECT_FALSE(tx::file_kind(type("EXPORT_EDL"), 3));
    EXPECT_FALSE(tx::file_kind(type("EXPORT_FCPXML_1_9"), 0));
    EXPECT_FALSE(tx::file_kind(type("EXPORT_AAF"), 0));
    EXPECT_FALSE(tx::file_kind(std::nullopt, 0));
    EXPECT_EQ(type("EXPORT_OTIO"), static_cast<int>(tx::kExportTypes.size()));
}

TEST(TimelineExport, MediaFilesAndTheirZipNames) {
    EXPECT_EQ(tx::item_media_base("/m/s_titles", "v3", 7, "Lower Third/ä"),
              "/m/s_titles/v3_007_Lower_Third___");
    EXPECT_EQ(tx::item_media_base("d", "v1", 1234, "a-b_c"), "d/v1_1234_a-b_c");
    EXPECT_TRUE(tx::inside("/m/s_titles/a.png", "/m/s_titles"));
    EXPECT_FALSE(tx::inside("/m/s_titles", "/m/s_titles"));
    EXPECT_FALSE(tx::inside("/m/s_titles2/a.png", "/m/s_titles"));
    EXPECT_FALSE(tx::inside("/m/a.png", "/m/s_titles"));

    namespace fs = std::filesystem;
    const TempDir tmp("export-media-test");
    const fs::path dir = tmp / "vestrel_export_media_test";  // the entries name this folder
    EXPECT_TRUE(tx::media_entries(dir.string()).empty());
    fs::create_directories(dir);
    ASSERT_TRUE(tx::write_text_file((dir / "b.png").string(), "2"));
    ASSERT_TRUE(tx::write_text_file((dir / "a.mov").string(), "1"));
    const auto entries = tx::media_entries(dir.string());
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].first, (dir / "a.mov").string());
    EXPECT_EQ(entries[0].second, "vestrel_export_media_test/a.mov");
    EXPECT_EQ(entries[1].second, "vestrel_export_media_test/b.png");
}

TEST(TimelineExport, TextFilesAreWrittenWholeOrNotAtAll) {
    namespace fs = std::filesystem;
    const TempDir tmp("export-write-test");
    const fs::path& dir = tmp.path;
    fs::create_directories(dir / "folder.srt");
    const std::string path = (dir / "a.srt").string();
    ASSERT_TRUE(tx::write_text_file(path, "first"));
    ASSERT_TRUE(tx::write_text_file(path, "1\nsecond"));
    std::ifstream in(path, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "1\nsecond");
    // A folder in the way and a missing folder: refused, no ".part" left behind.
    EXPECT_FALSE(tx::write_text_file((dir / "folder.srt").string(), "x"));
    EXPECT_FALSE(fs::exists(dir / "folder.srt.part"));
    EXPECT_FALSE(tx::write_text_file((dir / "missing" / "a.srt").string(), "x"));
    EXPECT_TRUE(fs::is_directory(dir / "folder.srt"));
}
