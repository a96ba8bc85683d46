#include "core/outputs.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <system_error>

namespace vestrel::outputs {

namespace {

constexpr std::array<std::string_view, 7> kKinds = {"mp4", "otioz", "zip", "edl",
                                                    "srt", "ass",   "xml"};

bool is_hex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The media library finds an asset's files by this stem; such names are never outputs.
bool has_asset_stem(std::string_view name) {
    for (std::string_view prefix : {"bg_", "music_", "voice_"}) {
        if (name.size() < prefix.size() + 8) continue;
        bool same = true;  // any case: a render route refuses "Music_..." too
        for (size_t i = 0; i < prefix.size(); ++i)
            same = same && std::tolower(static_cast<unsigned char>(name[i])) == prefix[i];
        if (!same) continue;
        const auto digits = name.substr(prefix.size(), 8);
        if (std::all_of(digits.begin(), digits.end(), is_hex)) return true;
    }
    return false;
}

double seconds_since_epoch(std::filesystem::file_time_type t) {
    using namespace std::chrono;
    // The file clock's epoch is the library's own; carried over through "now" on both clocks
    // (clock_cast is not in every standard library yet).
    const auto sys = system_clock::now() + duration_cast<system_clock::duration>(
                                               t - std::filesystem::file_time_type::clock::now());
    return duration<double>(sys.time_since_epoch()).count();
}

}  // namespace

std::string_view output_kind(std::string_view name) {
    const auto dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return {};
    const std::string_view ext = name.substr(dot + 1);
    for (std::string_view k : kKinds)
        if (ext == k) return k;
    return {};
}

bool is_output_name(std::string_view name) {
    if (name.empty() || name.size() > 255 || name.front() == '.') return false;
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7f || c == '/' || c == '\\') return false;
    return !output_kind(name).empty() && !has_asset_stem(name);
}

std::vector<OutputFile> list_outputs(const std::filesystem::path& dir) {
    namespace fs = std::filesystem;
    std::vector<OutputFile> found;
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    if (ec) return found;
    for (const fs::directory_entry& e : it) {
        std::error_code fec;
        if (!e.is_regular_file(fec) || e.is_symlink(fec)) continue;
        const std::string name = e.path().filename().string();
        if (!is_output_name(name)) continue;
        OutputFile f;
        f.name = name;
        f.size = e.file_size(fec);
        if (fec) continue;  // gone while we looked
        f.modified = seconds_since_epoch(e.last_write_time(fec));
        if (fec) continue;
        found.push_back(std::move(f));
    }
    std::sort(found.begin(), found.end(), [](const OutputFile& a, const OutputFile& b) {
        if (a.modified != b.modified) return a.modified > b.modified;
        return a.name < b.name;
    });
    return found;
}

Removal remove_output(const std::filesystem::path& dir, const std::string& name,
                      std::string& error) {
    const std::filesystem::path path = dir / name;
    std::error_code ec;
    const auto st = std::filesystem::symlink_status(path, ec);
    if (ec || !std::filesystem::is_regular_file(st)) return Removal::NotFound;
    const bool removed = std::filesystem::remove(path, ec);
    if (ec) {
        error = ec.message();
        return Removal::Failed;
    }
    return removed ? Removal::Removed : Removal::NotFound;
}

}  // namespace vestrel::outputs
