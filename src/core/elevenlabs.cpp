#include "core/elevenlabs.hpp"

namespace vestrel::elevenlabs {

Urls urls(std::string_view base) {
    while (!base.empty() && base.back() == '/') base.remove_suffix(1);
    const std::string api(base.empty() ? kDefaultApiUrl : base);
    return {api + "/v1/user/subscription", api + "/v1/text-to-speech"};
}

}  // namespace vestrel::elevenlabs
