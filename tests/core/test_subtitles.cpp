#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <regex>

#include "core/subtitles.hpp"

using namespace vestrel;
using subtitles::Cue;

namespace {

// The frame a player shows first for a cue starting at `ms` (the first frame whose time is
// at or after it).
int64_t first_frame_at(int64_t ms, frames::Rational rate) {
    return static_cast<int64_t>(
        std::ceil(static_cast<double>(ms) * rate.num / (1000.0 * rate.den) - 1e-9));
}

int64_t srt_ms(const std::string& t) {
    int h, m, s, ms;
    EXPECT_EQ(std::sscanf(t.c_str(), "%d:%d:%d,%d", &h, &m, &s, &ms), 4) << t;
    return ((h * 60LL + m) * 60 + s) * 1000 + ms;
}

}  // namespace

TEST(Subtitles, SrtTimeMapsBackToItsFrameAtCommonRates) {
    for (auto rate :
         {frames::Rational{30, 1}, frames::Rational{30000, 1001}, frames::Rational{24000, 1001},
          frames::Rational{25, 1}, frames::Rational{60, 1}}) {
        for (int64_t f = 0; f < 200000; f += 7)
            ASSERT_EQ(first_frame_at(srt_ms(subtitles::srt_time(f, rate)), rate), f)
                << f << " at " << rate.num << "/" << rate.den;
    }
    EXPECT_EQ(subtitles::srt_time(0, {30, 1}), "00:00:00,000");
    EXPECT_EQ(subtitles::srt_time(1, {30, 1}), "00:00:00,033");
    EXPECT_EQ(subtitles::srt_time(45, {30, 1}), "00:00:01,500");
    EXPECT_EQ(subtitles::srt_time(108000, {30, 1}), "01:00:00,000");
    EXPECT_EQ(subtitles::srt_time(1, {30000, 1001}), "00:00:00,033");  // 33.366 ms
}

TEST(Subtitles, SrtNumbersCuesAndKeepsEachInOneBlock) {
    const std::vector<Cue> cues = {
        {0, 45, "Hallo und"},
        {45, 45, "empty"},  // no frames: left out, not numbered
        {45, 90, "zwei\n\nZeilen\r\n"},
        {100, 130, "Ende"},
    };
    EXPECT_EQ(subtitles::srt(cues, {30, 1}),
              "1\n00:00:00,000 --> 00:00:01,500\nHallo und\n\n"
              "2\n00:00:01,500 --> 00:00:03,000\nzwei\nZeilen\n\n"
              "3\n00:00:03,333 --> 00:00:04,333\nEnde\n");
    EXPECT_EQ(subtitles::srt({}, {30, 1}), "");
}

TEST(Subtitles, AssTimesAndTextFollowTheRender) {
    render::TitleStyle style;
    style.font = "Open Sans";
    style.style = "ExtraBold";
    const std::vector<Cue> cues = {{0, 45, "Hallo {Welt}"}, {45, 46, "x"}, {50, 50, "none"}};
    const std::string script = subtitles::ass(cues, style, 1080, 1920, {30, 1});
    EXPECT_NE(script.find("PlayResX: 1080\nPlayResY: 1920"), std::string::npos);
    std::regex dialogue(R"(Dialogue: \d+,([^,]+),([^,]+),(T\d+),,0,0,0,,\{\\pos\(\d+,\d+\)\}(.*))");
    std::vector<std::smatch> found;
    std::vector<std::string> lines;
    for (size_t at = 0, nl; (nl = script.find('\n', at)) != std::string::npos; at = nl + 1)
        lines.push_back(script.substr(at, nl - at));
    std::vector<std::array<std::string, 3>> events;
    for (const auto& line : lines) {
        std::smatch m;
        if (std::regex_match(line, m, dialogue)) events.push_back({m[1], m[2], m[4]});
    }
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0][0], render::ass_time(0, {30, 1}));
    EXPECT_EQ(events[0][1], render::ass_time(45, {30, 1}));
    EXPECT_EQ(events[0][2], "Hallo \\{Welt\\}");
    EXPECT_EQ(events[1][0], render::ass_time(45, {30, 1}));
    EXPECT_EQ(events[1][1], render::ass_time(46, {30, 1}));
    EXPECT_NE(script.find(",Open Sans,"), std::string::npos);
}
