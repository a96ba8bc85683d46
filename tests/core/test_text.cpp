#include <gtest/gtest.h>

#include "core/text.hpp"

using namespace vestrel;

TEST(Text, RoundTripsAndCountsCodePoints) {
    const std::string samples[] = {"", "abc", "Grüße", "→ ok", "emoji 😀!", "ä<split>ö"};
    const size_t lengths[] = {0, 3, 5, 4, 8, 9};
    for (size_t i = 0; i < std::size(samples); ++i) {
        std::u32string cps = text::decode(samples[i]);
        EXPECT_EQ(cps.size(), lengths[i]) << samples[i];
        EXPECT_EQ(text::encode(cps), samples[i]);
    }
}

TEST(Text, DecodesEachWidth) {
    EXPECT_EQ(text::decode("\x41\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80"),
              (std::u32string{U'A', U'ä', U'€', U'\U0001F600'}));
}
