// The addresses of the ElevenLabs web API the speech engine calls.
#pragma once

#include <string>
#include <string_view>

namespace vestrel::elevenlabs {

inline constexpr std::string_view kDefaultApiUrl = "https://api.elevenlabs.io";

struct Urls {
    std::string subscription;    // GET: the key's character quota and usage
    std::string text_to_speech;  // + "/<voice id>": POST synthesis; + "/voices": the voices
};

// The addresses under a configured API base (a stand-in service in tests, a proxy): trailing
// slashes are dropped so the paths join with exactly one; an empty base (or only slashes)
// means the public service.
Urls urls(std::string_view base);

}  // namespace vestrel::elevenlabs
