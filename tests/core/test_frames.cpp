#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/frames.hpp"

using namespace vestrel::frames;

TEST(Frames, RoundsTiesToEven) {
    const std::pair<double, int64_t> cases[] = {
        {12.5, 12}, {37.5, 38}, {0.5, 0}, {1.5, 2}, {2.5, 2}, {-0.5, 0}, {-1.5, -2},
        {-2.5, -2}, {2.4999999999999996, 2}, {2.5000000000000004, 3}, {7.0, 7}, {-7.2, -7}};
    for (auto [x, want] : cases) EXPECT_EQ(round_half_even(x), want) << x;
}

TEST(Frames, RefusesWhatHasNoIntegerValue) {
    auto kind_of = [](double x) {
        try {
            round_half_even(x);
        } catch (const FrameError& e) {
            return static_cast<int>(e.kind);
        }
        return -1;
    };
    EXPECT_EQ(kind_of(std::nan("")), static_cast<int>(FrameError::Kind::NotANumber));
    EXPECT_EQ(kind_of(INFINITY), static_cast<int>(FrameError::Kind::Infinite));
    EXPECT_EQ(kind_of(-1e300), static_cast<int>(FrameError::Kind::Infinite));
}

TEST(Frames, PlacesOnAbsoluteFramesAcrossRates) {
    // Timeline 24 fps from frame 1000, clip 25 fps: 2.5 s + 4.0 s.
    Placement p = place(2.5, 4.0, 24.0, 25.0, 1000);
    EXPECT_EQ(p.record_frame, 1060);
    EXPECT_EQ(p.wanted_end, 1156);
    EXPECT_EQ(p.length, 96);
    EXPECT_EQ(p.last_clip_frame, 99);

    // Both at 25 from 0: both ends are ties, each going to the even neighbour.
    p = place(0.5, 1.0, 25.0, 25.0, 0);
    EXPECT_EQ(p.record_frame, 12);
    EXPECT_EQ(p.wanted_end, 38);
    EXPECT_EQ(p.length, 26);
    EXPECT_EQ(p.last_clip_frame, 25);
}

TEST(Frames, SequenceOfClipsTilesWithoutDrift) {
    // Each clip starts where the previous one was meant to end, whatever the rounding.
    const double starts[] = {0.0, 0.37, 1.01, 2.5, 2.51, 4.0};
    for (size_t i = 0; i + 1 < std::size(starts); ++i) {
        Placement a = place(starts[i], starts[i + 1] - starts[i], 29.97, 25.0, 107892);
        Placement b = place(starts[i + 1], 1.0, 29.97, 25.0, 107892);
        EXPECT_EQ(a.wanted_end, b.record_frame) << i;
    }
}

TEST(Frames, ZeroTimelineRateIsADivisionByZero) {
    try {
        place(1.0, 1.0, 0.0, 25.0, 0);
        FAIL();
    } catch (const FrameError& e) {
        EXPECT_EQ(e.kind, FrameError::Kind::DivisionByZero);
    }
}

TEST(Frames, ReadsTheLeadingNumberOfARate) {
    EXPECT_DOUBLE_EQ(*leading_number("29.97 DF"), 29.97);
    EXPECT_DOUBLE_EQ(*leading_number("  25"), 25.0);
    EXPECT_DOUBLE_EQ(*leading_number("30NDF"), 30.0);
    EXPECT_DOUBLE_EQ(*leading_number(".5x"), 0.5);
    EXPECT_DOUBLE_EQ(*leading_number("-2e1 fps"), -20.0);
    EXPECT_DOUBLE_EQ(*leading_number("24.e"), 24.0);
    EXPECT_FALSE(leading_number("DF 29.97").has_value());
    EXPECT_FALSE(leading_number("").has_value());
    EXPECT_FALSE(leading_number(".").has_value());
}

TEST(Frames, RatesAsExactFractions) {
    EXPECT_EQ(*rate_from_text("30"), (Rational{30, 1}));
    EXPECT_EQ(*rate_from_text("12.5"), (Rational{25, 2}));
    EXPECT_EQ(*rate_from_text("29.97"), (Rational{30000, 1001}));
    EXPECT_EQ(*rate_from_text("29.97 DF"), (Rational{30000, 1001}));
    EXPECT_EQ(*rate_from_text("23.976"), (Rational{24000, 1001}));
    EXPECT_EQ(*rate_from_text("59.94"), (Rational{60000, 1001}));
    EXPECT_EQ(*rate_from_text("24.975"), (Rational{999, 40}));  // not a broadcast rate
    EXPECT_FALSE(rate_from_text("0").has_value());
    EXPECT_FALSE(rate_from_text("-25").has_value());
    EXPECT_FALSE(rate_from_text("fps").has_value());

    EXPECT_EQ(rate_text({30, 1}), "30");
    EXPECT_EQ(rate_text({30000, 1001}), "29.97");
    EXPECT_EQ(rate_text({24000, 1001}), "23.976");
    EXPECT_EQ(rate_text({25, 2}), "12.5");

    EXPECT_EQ(one_hour_frames({30, 1}), 108000);
    EXPECT_EQ(one_hour_frames({30000, 1001}), 108000);
    EXPECT_EQ(one_hour_frames({24000, 1001}), 86400);
}

TEST(Frames, SourceFramesToTimelineFramesRoundDown) {
    EXPECT_EQ(to_timeline_frames(100, {25, 1}, {24, 1}), 96);
    EXPECT_EQ(to_timeline_frames(26, {25, 1}, {25, 1}), 26);
    // 23 frames at 24 fps are 28.75 frames at 30: a frame short, never long.
    EXPECT_EQ(to_timeline_frames(23, {24, 1}, {30, 1}), 28);
    // 30000/1001 against 30: exact, no floating-point drift over an hour.
    EXPECT_EQ(to_timeline_frames(107892, {30000, 1001}, {30, 1}), 107999);
    EXPECT_EQ(to_timeline_frames(108000, {30000, 1001}, {30000, 1001}), 108000);
}

TEST(Frames, PlacementAndLandingAgreeOrLandShort) {
    // What the Resolve layer asks for and what the simulator lands: never longer than wanted.
    const double clip_rates[] = {23.976, 24, 25, 29.97, 30, 50, 59.94, 60};
    for (double cr : clip_rates) {
        Rational clip = *rate_from_text(cr == 24 ? "24" : std::to_string(cr).substr(0, 6));
        for (double d = 0.1; d < 5.0; d += 0.37) {
            Placement p = place(1.3, d, 30.0, *leading_number(rate_text(clip)), 108000);
            const int64_t landed = to_timeline_frames(p.last_clip_frame + 1, clip, {30, 1});
            EXPECT_LE(landed, p.length) << cr << " " << d;
            EXPECT_GE(landed, p.length - 1) << cr << " " << d;
        }
    }
}
