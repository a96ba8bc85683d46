#include "core/limits.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

using namespace vestrel::limits;

TEST(Limits, GenerationRefusalNamesTheFirstBoundBroken) {
    auto why = [](std::size_t scenes, double pause, std::size_t chars) {
        const char* r = generation_refusal(scenes, pause, chars);
        return std::string(r ? r : "");
    };
    EXPECT_EQ(why(6, 10.0, 20000), "");
    EXPECT_EQ(why(0, 0.0, 0), "");
    EXPECT_EQ(why(7, -1.0, 20001), "Maximum 6 scenes allowed");
    for (double pause : {-0.001, 10.001, std::nan(""), HUGE_VAL})
        EXPECT_EQ(why(6, pause, 20001), "min_silence_duration must be between 0 and 10 seconds");
    EXPECT_EQ(why(1, 0.3, 20001), "Script too long (at most 20000 characters)");
}
