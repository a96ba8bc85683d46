// UTF-8 text as code points: every length and position of the system counts code points.
#pragma once

#include <string>
#include <string_view>

namespace vestrel::text {

// Decodes UTF-8 (as produced by the host for any str, surrogates escaped) to code points.
std::u32string decode(std::string_view utf8);
// Encodes code points back to UTF-8.
std::string encode(std::u32string_view cps);
void append_utf8(std::string& out, char32_t cp);

}  // namespace vestrel::text
