#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "core/audio_codec.hpp"

using namespace vestrel;
namespace fs = std::filesystem;

namespace {

std::vector<std::int16_t> sine(double hz, int rate, double seconds, double amplitude = 12000) {
    std::vector<std::int16_t> out(static_cast<std::size_t>(rate * seconds));
    for (std::size_t i = 0; i < out.size(); ++i) {
        double phase = 2 * M_PI * hz * static_cast<double>(i) / rate;
        out[i] = static_cast<std::int16_t>(std::lround(amplitude * std::sin(phase)));
    }
    return out;
}

std::uint32_t u32(const std::vector<std::uint8_t>& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (std::uint32_t(b[at + 3]) << 24);
}

std::vector<std::string> names_in(const fs::path& dir) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

struct TempDir {
    fs::path path;
    TempDir() {
        path = fs::temp_directory_path() /
               ("vestrel-codec-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(path);
        fs::create_directories(path);
    }
    ~TempDir() { fs::remove_all(path); }
};

}  // namespace

TEST(AudioCodec, ContainerByExtension) {
    EXPECT_EQ(audio::container_for("/a/b/voice.mp3"), audio::Container::Mp3);
    EXPECT_EQ(audio::container_for("voice.MP3"), audio::Container::Mp3);
    EXPECT_EQ(audio::container_for("x.y.Wav"), audio::Container::Wav);
    for (std::string bad : {"voice.ogg", "voice", "/a/.mp3", "dir.mp3/voice", "voice.mp3.part",
                            "voice.mp"}) {
        try {
            audio::container_for(bad);
            FAIL() << bad;
        } catch (const audio::UnsupportedFormat& e) {
            EXPECT_NE(std::string(e.what()).find(".mp3 or .wav"), std::string::npos);
        }
    }
}

TEST(AudioCodec, WavHeaderAndSamples) {
    std::vector<std::int16_t> s = {0, 1, -1, 32767, -32768};
    auto b = audio::encode_wav(s, 22050);
    ASSERT_EQ(b.size(), 44u + 10u);
    EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "RIFF");
    EXPECT_EQ(u32(b, 4), 46u);
    EXPECT_EQ(std::string(b.begin() + 8, b.begin() + 16), "WAVEfmt ");
    EXPECT_EQ(u32(b, 24), 22050u);
    EXPECT_EQ(u32(b, 28), 44100u);
    EXPECT_EQ(u32(b, 40), 10u);
    for (std::size_t i = 0; i < s.size(); ++i)
        EXPECT_EQ(static_cast<std::int16_t>(b[44 + 2 * i] | (b[45 + 2 * i] << 8)), s[i]);
}

TEST(AudioCodec, ResampleKeepsLengthPitchAndLevel) {
    auto in = sine(440, 22050, 1.0);
    auto out = audio::resample(in, 22050, 44100);
    ASSERT_EQ(out.size(), 44100u);
    // Away from the edges the result is the same sine at the new rate, within a small error.
    auto ideal = sine(440, 44100, 1.0);
    double err = 0, ref = 0;
    for (std::size_t i = 1000; i < 43000; ++i) {
        err += std::pow(double(out[i]) - ideal[i], 2);
        ref += std::pow(double(ideal[i]), 2);
    }
    EXPECT_LT(10 * std::log10(err / ref), -40.0);  // better than -40 dB
    EXPECT_EQ(audio::resample({}, 22050, 44100).size(), 0u);
    EXPECT_EQ(audio::resample({1, 2, 3}, 22050, 22050), (std::vector<std::int16_t>{1, 2, 3}));
}

TEST(AudioCodec, Mp3IsConstantBitRateMonoAt44100WithInfoFrame) {
    auto in = sine(300, 22050, 3.0);
    auto b = audio::encode_mp3(in, 22050);
    // 192 kbit/s for 3 s is 72,000 bytes, plus the Info frame and the flushed frames.
    EXPECT_GT(b.size(), 72000u);
    EXPECT_LT(b.size(), 76000u);
    ASSERT_GE(b.size(), 4u);
    // Frame header: sync, MPEG-1 Layer III, bit-rate index 11 (192 kbit/s), 44.1 kHz, mono.
    EXPECT_EQ(b[0], 0xFF);
    EXPECT_EQ(b[1] & 0xFE, 0xFA);
    EXPECT_EQ(b[2] >> 4, 11);
    EXPECT_EQ((b[2] >> 2) & 3, 0);
    EXPECT_EQ(b[3] >> 6, 3);
    // Every frame of a CBR stream has the same header and the same length.
    std::size_t frame = 144 * 192000 / 44100;  // 626 bytes, without padding
    std::size_t at = 0, frames = 0;
    while (at + 4 <= b.size()) {
        ASSERT_EQ(b[at], 0xFF) << "frame " << frames;
        ASSERT_EQ(b[at + 2] >> 4, 11) << "frame " << frames;
        at += frame + ((b[at + 2] >> 1) & 1);
        ++frames;
    }
    EXPECT_EQ(at, b.size());
    EXPECT_NEAR(double(frames), 3.0 * 44100 / 1152 + 2, 2.0);
    std::string head(b.begin(), b.begin() + 200);
    EXPECT_NE(head.find("Info"), std::string::npos);
}

TEST(AudioCodec, AtomicWriteReplacesWholeOrNothing) {
    TempDir dir;
    fs::path target = dir.path / "voice.wav";
    audio::write_audio_file(target.string(), sine(200, 22050, 0.5), 22050);
    EXPECT_EQ(fs::file_size(target), 44u + 2u * 11025u);
    EXPECT_EQ(names_in(dir.path), std::vector<std::string>{"voice.wav"});

    // A failure leaves the earlier file as it was and no temporary file behind.
    fs::path blocked = dir.path / "blocked.mp3";
    fs::create_directories(blocked / "child");
    EXPECT_THROW(audio::write_audio_file(blocked.string(), sine(200, 22050, 0.5), 22050),
                 audio::Error);
    EXPECT_EQ(names_in(dir.path), (std::vector<std::string>{"blocked.mp3", "voice.wav"}));

    // A missing directory reports errno and the path.
    try {
        audio::write_file_atomically((dir.path / "missing" / "x.mp3").string(), {1, 2, 3});
        FAIL();
    } catch (const audio::Error& e) {
        EXPECT_EQ(e.error_number(), ENOENT);
        EXPECT_NE(e.path().find("missing"), std::string::npos);
    }

    // An unsupported extension is refused before anything is written.
    EXPECT_THROW(audio::write_audio_file((dir.path / "voice.ogg").string(), {1, 2}, 22050),
                 audio::UnsupportedFormat);
    EXPECT_EQ(names_in(dir.path), (std::vector<std::string>{"blocked.mp3", "voice.wav"}));

    // A name as long as the file system allows still gets its file.
    fs::path longest = dir.path / (std::string(251, 'v') + ".wav");
    audio::write_audio_file(longest.string(), {1, 2, 3}, 22050);
    EXPECT_EQ(fs::file_size(longest), 44u + 6u);
    fs::remove(longest);

    // Replacing an existing file.
    audio::write_audio_file(target.string(), sine(200, 22050, 0.25), 22050);
    EXPECT_EQ(fs::file_size(target), 44u + 2u * 5512u);
}
