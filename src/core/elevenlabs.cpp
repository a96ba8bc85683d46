#include "core/elevenlabs.hpp"

namespace vestrel::elevenlabs {

Urls urls(std::string_view base) {
    while (!base.empty() && base.back() == '/') base.remove_suffix(1);
    const std::string api(base.empty() ? kDefaultApiUrl : base);
    return {api + "/v1/user/subscription", api + "/v1/text-to-speech"};
}

std::string low_quota_message(std::string_view remaining, std::string_view required) {
    return "ElevenLabs API key has only " + std::string(remaining) +
           " characters remaining (minimum required: " + std::string(required) + ")";
}

std::string over_quota_message(std::string_view length, std::string_view remaining) {
    return "Cannot generate " + std::string(length) + " characters, only " +
           std::string(remaining) + " remaining";
}

}  // namespace vestrel::elevenlabs
