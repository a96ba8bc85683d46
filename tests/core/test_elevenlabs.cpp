#include <gtest/gtest.h>

#include "core/elevenlabs.hpp"

using namespace vestrel;

TEST(ElevenLabs, UrlsJoinUnderTheBaseWithOneSlash) {
    struct Case {
        const char* base;
        const char* subscription;
        const char* tts;
    } cases[] = {
        {"http://127.0.0.1:8123", "http://127.0.0.1:8123/v1/user/subscription",
         "http://127.0.0.1:8123/v1/text-to-speech"},
        {"http://proxy/eleven//", "http://proxy/eleven/v1/user/subscription",
         "http://proxy/eleven/v1/text-to-speech"},
        // Nothing configured, or nothing left after the slashes: the public service.
        {"", "https://api.elevenlabs.io/v1/user/subscription",
         "https://api.elevenlabs.io/v1/text-to-speech"},
        {"///", "https://api.elevenlabs.io/v1/user/subscription",
         "https://api.elevenlabs.io/v1/text-to-speech"},
    };
    for (const Case& c : cases) {
        const elevenlabs::Urls u = elevenlabs::urls(c.base);
        EXPECT_EQ(u.subscription, c.subscription) << c.base;
        EXPECT_EQ(u.text_to_speech, c.tts) << c.base;
    }
}

TEST(ElevenLabs, QuotaRefusalsNameBothCountsAsWritten) {
    EXPECT_EQ(elevenlabs::low_quota_message("150", "1200"),
              "ElevenLabs API key has only 150 characters remaining (minimum required: 1200)");
    EXPECT_EQ(elevenlabs::over_quota_message("1201", "None"),
              "Cannot generate 1201 characters, only None remaining");
}
