#include "core/commands.hpp"

namespace vestrel::commands {

std::string remove_commands(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t open = text.find('<', pos);
        if (open == std::string_view::npos) break;
        const size_t close = text.find('>', open + 1);
        // No '>' after this '<': no later '<' can have one either, so the rest stays.
        if (close == std::string_view::npos) break;
        out.append(text.substr(pos, open - pos));
        pos = close + 1;
    }
    out.append(text.substr(pos));
    return out;
}

}  // namespace vestrel::commands
