// The addresses of the ElevenLabs web API the speech engine calls.
#pragma once

#include <string>
#include <string_view>

namespace vestrel::elevenlabs {

inline constexpr std::string_view kDefaultApiUrl = "https://api.elevenlabs.io";

// The quota a key must have left when the engine checks it at construction (characters).
inline constexpr long kMinRequiredChars = 1200;
// The synthesis request: its model, voice settings and the size of the streamed chunks.
inline constexpr const char* kModelId = "eleven_multilingual_v2";
inline constexpr double kStability = 0.5;
inline constexpr double kSimilarityBoost = 0.75;
inline constexpr int kChunkSize = 4096;
// Every request has a time-out, so a hung service cannot hold the calling thread (and with
// it the generation status) forever: 10 s for the small JSON requests; for synthesis 10 s
// to connect and 120 s between bytes of the streamed audio.
inline constexpr int kRequestTimeout = 10;
inline constexpr int kSynthesisConnectTimeout = 10;
inline constexpr int kSynthesisReadTimeout = 120;

struct Urls {
    std::string subscription;    // GET: the key's character quota and usage
    std::string text_to_speech;  // + "/<voice id>": POST synthesis; + "/voices": the voices
};

// The addresses under a configured API base (a stand-in service in tests, a proxy): trailing
// slashes are dropped so the paths join with exactly one; an empty base (or only slashes)
// means the public service.
Urls urls(std::string_view base);

// The refusals of the character quota, each count as the caller writes it: a key with less
// left than required at construction, and a text longer than what is left.
std::string low_quota_message(std::string_view remaining, std::string_view required);
std::string over_quota_message(std::string_view length, std::string_view remaining);

}  // namespace vestrel::elevenlabs
