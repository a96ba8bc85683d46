// Reading media files: the values must be the ones ffprobe reports for the same files (made
// here with ffmpeg), files libavformat cannot read are taken by their extension, and a
// replaced file is read again.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "core/probe.hpp"
#include "temp_dir.hpp"

using namespace vestrel;
namespace fs = std::filesystem;

namespace {


// Makes `name` in `dir` with ffmpeg from lavfi sources; returns its path.
std::string make(const TempDir& dir, const std::string& name, const std::string& args) {
    const std::string path = (dir.path / name).string();
    const std::string cmd = "timeout 60 ffmpeg -nostdin -v error -y " + args + " '" + path + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
    return path;
}

// What ffprobe says of one stream ("v:0", "a:0") or, with an empty selector, of the format:
// its key=value lines.
std::map<std::string, std::string> ffprobe(const std::string& path, const std::string& stream) {
    const std::string cmd =
        "ffprobe -v error " +
        (stream.empty() ? std::string("-show_entries format=duration")
                        : "-select_streams " + stream +
                              " -show_entries stream=r_frame_rate,width,height,duration") +
        " -of default=nw=1 '" + path + "'";
    std::map<std::string, std::string> out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char line[256];
    while (std::fgets(line, sizeof line, p)) {
        std::string l(line);
        while (!l.empty() && (l.back() == '\n' || l.back() == '\r')) l.pop_back();
        const size_t eq = l.find('=');
        if (eq != std::string::npos) out[l.substr(0, eq)] = l.substr(eq + 1);
    }
    pclose(p);
    return out;
}

frames::Rational ratio(const std::string& text) {
    const size_t slash = text.find('/');
    return frames::make_rational(std::stoll(text.substr(0, slash)),
                                 std::stoll(text.substr(slash + 1)));
}

}  // namespace

TEST(Probe, VideoValuesAreTheOnesFfprobeReports) {
    TempDir dir("probe-test");
    // The sound runs half a second past the picture: the length is the picture's.
    const std::string mp4 = make(dir, "clip.mp4",
                                 "-f lavfi -i color=c=red:s=64x36:r=30000/1001:d=1 "
                                 "-f lavfi -i sine=d=1.5 -c:v libx264 -c:a aac");
    // Matroska stores no stream lengths: the length is the file's.
    const std::string mkv =
        make(dir, "clip.mkv", "-f lavfi -i color=c=blue:s=48x32:r=25:d=2 -c:v libx264");
    for (const std::string& path : {mp4, mkv}) {
        const auto info = probe::probe_media(path);
        ASSERT_TRUE(info) << path;
        auto v = ffprobe(path, "v:0");
        EXPECT_TRUE(info->has_video);
        EXPECT_EQ(info->has_audio, path == mp4);
        EXPECT_EQ(info->rate, ratio(v["r_frame_rate"])) << path;
        EXPECT_EQ(info->width, std::stoi(v["width"]));
        EXPECT_EQ(info->height, std::stoi(v["height"]));
        const std::string length = path == mp4 ? v["duration"] : ffprobe(path, "")["duration"];
        EXPECT_EQ(info->duration, std::stod(length)) << path << " " << length;
    }
    EXPECT_EQ(probe::probe_media(mp4)->rate, (frames::Rational{30000, 1001}));
    EXPECT_EQ(probe::probe_media(mkv)->duration, 2.0);
}

TEST(Probe, AudioFilesAndTheirCoverArt) {
    TempDir dir("probe-test");
    const std::string wav = make(dir, "voice.wav", "-f lavfi -i sine=d=0.75");
    const std::string png =
        make(dir, "cover.png", "-f lavfi -i color=c=blue:s=16x16 -frames:v 1");
    const std::string mp3 = make(dir, "song.mp3",
                                 "-f lavfi -i sine=d=1 -i '" + png +
                                     "' -map 0 -map 1 -c:a libmp3lame -c:v png "
                                     "-disposition:v attached_pic");
    for (const std::string& path : {wav, mp3}) {
        const auto info = probe::probe_media(path);
        ASSERT_TRUE(info) << path;
        EXPECT_TRUE(info->has_audio);
        EXPECT_FALSE(info->has_video) << path;  // a cover picture is no picture track
        EXPECT_FALSE(info->rate);
        EXPECT_EQ(info->duration, std::stod(ffprobe(path, "a:0")["duration"])) << path;
    }
}

TEST(Probe, UnreadableFilesAreTakenByTheirExtension) {
    TempDir dir("probe-test");
    struct Case {
        const char* name;
        bool video, audio, known;
    };
    for (const Case& c :
         {Case{"bg.MOV", true, false, true}, Case{"a.b/voice.Mp3", false, true, true},
          Case{"take.aiff", false, true, true}, Case{"notes.txt", false, false, false},
          Case{"a.mp4/noext", false, false, false}}) {
        const fs::path path = dir.path / c.name;
        fs::create_directories(path.parent_path());
        std::ofstream(path) << "not media";
        const auto info = probe::probe_media(path.string());
        ASSERT_EQ(info.has_value(), c.known) << c.name;
        if (!info) continue;
        EXPECT_EQ(info->has_video, c.video) << c.name;
        EXPECT_EQ(info->has_audio, c.audio) << c.name;
        EXPECT_FALSE(info->rate);
        EXPECT_EQ(info->duration, 0.0);
    }
    // A file that is not there at all is taken by its name too.
    EXPECT_TRUE(probe::probe_media((dir.path / "gone.mp4").string()));
}

TEST(Probe, AReplacedFileIsReadAgain) {
    TempDir dir("probe-test");
    const std::string path = make(dir, "bg.mp4", "-f lavfi -i color=s=32x32:r=25:d=1");
    EXPECT_EQ(probe::probe_media(path)->width, 32);
    const std::string other = make(dir, "other.mp4", "-f lavfi -i color=s=64x48:r=25:d=2");
    fs::rename(other, path);
    EXPECT_EQ(probe::probe_media(path)->width, 64);
}
