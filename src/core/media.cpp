#include "core/media.hpp"

#include <algorithm>
#include <system_error>

namespace vestrel::media {

namespace fs = std::filesystem;

std::string_view last_component(std::string_view path) {
    while (!path.empty() && path.back() == '/') path.remove_suffix(1);
    const size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string_view suffix(std::string_view filename) {
    const std::string_view name = last_component(filename);
    const size_t dot = name.rfind('.');
    if (dot == std::string_view::npos) return {};
    // A dot that starts the name belongs to it; "." and ".." have no suffix.
    if (dot == 0 || name == "..") return {};
    return name.substr(dot);
}

std::string_view pexels_video_id(std::string_view url) {
    while (!url.empty() && url.back() == '/') url.remove_suffix(1);
    const size_t slash = url.rfind('/');
    std::string_view piece = slash == std::string_view::npos ? url : url.substr(slash + 1);
    const size_t dash = piece.rfind('-');
    return dash == std::string_view::npos ? piece : piece.substr(dash + 1);
}

bool is_plain_template_name(std::string_view name, bool ends_in_drp) {
    if (name.empty() || name == "." || name == "..") return false;
    if (name.find_first_of(std::string_view("/\\\0", 3)) != std::string_view::npos) return false;
    if (ends_in_drp && name.size() <= 4) return false;  // nothing before ".drp"
    return true;
}

std::string_view media_type_for(std::string_view filename) {
    auto ends = [&](std::string_view s) { return filename.ends_with(s); };
    if (ends(".jpg") || ends(".jpeg")) return "image/jpeg";
    if (ends(".png")) return "image/png";
    if (ends(".mp4")) return "video/mp4";
    if (ends(".mp3")) return "audio/mpeg";
    return "application/octet-stream";
}

std::vector<std::string> list_names(const fs::path& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    fs::directory_iterator it(dir, ec), end;
    for (; !ec && it != end; it.increment(ec)) names.push_back(it->path().filename().string());
    return names;
}

StemIndex::StemIndex(const std::vector<std::string>& names) {
    for (const std::string& n : names) {
        const size_t dot = n.rfind('.');
        if (dot == std::string::npos || dot == 0) continue;
        by_stem_[n.substr(0, dot)].push_back(n);
    }
    for (auto& [stem, files] : by_stem_) std::sort(files.begin(), files.end());
}

std::optional<std::string> StemIndex::other_file(const std::string& id,
                                                 std::string_view preferred) const {
    auto it = by_stem_.find(id);
    if (it == by_stem_.end()) return std::nullopt;
    for (const std::string& name : it->second)
        if (std::string_view(name).substr(id.size()) != preferred) return name;
    return std::nullopt;
}

std::vector<std::string> drp_names(const std::vector<std::string>& names) {
    std::vector<std::string> out;
    for (const std::string& n : names)
        if (std::string_view(n).ends_with(".drp")) out.push_back(n);
    // Byte order of UTF-8 is code point order.
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::string> names_with_prefix(const std::vector<std::string>& names,
                                           std::string_view prefix) {
    std::vector<std::string> out;
    for (const std::string& n : names)
        if (std::string_view(n).starts_with(prefix)) out.push_back(n);
    return out;
}

bool is_regular_file_inside(const fs::path& dir, const fs::path& candidate) {
    std::error_code ec;
    const fs::path root = fs::canonical(dir, ec);
    if (ec) return false;
    const fs::path target = fs::canonical(candidate, ec);
    if (ec) return false;
    if (!fs::is_regular_file(target, ec) || ec) return false;
    // Inside: the resolved root is a proper leading part of the resolved file's path.
    auto r = root.begin(), t = target.begin();
    for (; r != root.end(); ++r, ++t)
        if (t == target.end() || *r != *t) return false;
    return t != target.end();
}

}  // namespace vestrel::media
