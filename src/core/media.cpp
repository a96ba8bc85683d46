#include "core/media.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
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

std::vector<TemplateCandidate> template_candidates(const std::string& identifier) {
    std::vector<TemplateCandidate> out{{false, identifier}};
    if (!identifier.ends_with(".drp")) out.push_back({false, identifier + ".drp"});
    for (const std::string stem : {"tolvane", "tolvane_modern_fonts"})
        if (identifier == stem || identifier == stem + ".drp") out.push_back({true, stem + ".drp"});
    out.push_back({true, identifier});
    return out;
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

namespace {

bool proper_prefix(const fs::path& root, const fs::path& target) {
    auto r = root.begin(), t = target.begin();
    for (; r != root.end(); ++r, ++t)
        if (t == target.end() || *r != *t) return false;
    return t != target.end();
}

}  // namespace

int open_regular_file_inside(const fs::path& dir, const fs::path& candidate) {
    std::error_code ec;
    const fs::path root = fs::canonical(dir, ec);
    if (ec) return -1;
    // Non-blocking, so that a FIFO put under the name cannot stall the open.
    const int fd = ::open(candidate.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return -1;
    struct stat opened{}, named{};
    bool ok = ::fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode);
    if (ok) {
        // Where the name leads now, and whether that is the very file that was opened. The
        // resolved name is looked at without following a link: should it have become one
        // since it was resolved, it is not the opened file.
        const fs::path target = fs::canonical(candidate, ec);
        ok = !ec && proper_prefix(root, target) && ::lstat(target.c_str(), &named) == 0 &&
             named.st_dev == opened.st_dev && named.st_ino == opened.st_ino;
    }
    if (ok) {
        const int flags = ::fcntl(fd, F_GETFL);
        ok = flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
    }
    if (!ok) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int open_served_file(const fs::path& dir, std::string_view name) {
    if (name.empty() || name.find('/') != name.npos || name.find('\0') != name.npos) return -1;
    return open_regular_file_inside(dir, dir / name);
}

FileLock::FileLock(const fs::path& path) {
    do {
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    } while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), path.string());
    int rc;
    do {
        rc = ::flock(fd_, LOCK_EX);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const int err = errno;
        ::close(fd_);
        throw std::system_error(err, std::generic_category(), path.string());
    }
}

FileLock::~FileLock() {
    if (fd_ >= 0) ::close(fd_);  // closing the only descriptor releases the lock
}

std::string_view asset_id_of(std::string_view name) {
    for (std::string_view prefix : {std::string_view("bg_"), std::string_view("music_")}) {
        if (!name.starts_with(prefix) || name.size() < prefix.size() + 8) continue;
        const std::string_view hex = name.substr(prefix.size(), 8);
        const bool all_hex = std::all_of(hex.begin(), hex.end(), [](char c) {
            return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
        });
        if (all_hex) return name.substr(0, prefix.size() + 8);
    }
    return {};
}

std::vector<std::string> orphan_asset_files(const fs::path& cache,
                                            const std::vector<std::string>& catalogued,
                                            long long min_age_seconds) {
    std::vector<std::string> out;
    const auto now = std::chrono::system_clock::now();
    for (const std::string& name : list_names(cache)) {
        const std::string_view id = asset_id_of(name);
        if (id.empty() || std::binary_search(catalogued.begin(), catalogued.end(), id)) continue;
        struct stat st{};
        const fs::path p = cache / name;
        if (::lstat(p.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) continue;
        const auto changed = std::chrono::system_clock::from_time_t(st.st_mtime);
        if (now - changed < std::chrono::seconds(min_age_seconds)) continue;
        out.push_back(name);
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::string> stale_catalogue_temps(const fs::path& dir, std::string_view db_name) {
    std::vector<std::string> out;
    for (const std::string& name : list_names(dir)) {
        const std::string_view n(name);
        if (n.size() > db_name.size() + 4 && n.starts_with(db_name) && n.ends_with(".tmp")) {
            std::error_code ec;
            if (fs::is_regular_file(fs::symlink_status(dir / name, ec))) out.push_back(name);
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::string> asset_files(const fs::path& dir, const std::vector<std::string>& ids,
                                     const std::vector<bool>& uploaded,
                                     std::string_view preferred) {
    std::vector<std::string> out;
    std::optional<StemIndex> index;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        std::error_code ec;
        const std::string file = ids[i] + std::string(preferred);
        if (fs::exists(dir / file, ec)) {
            out.push_back(file);
        } else if (uploaded[i]) {
            if (!index) index.emplace(list_names(dir));
            out.push_back(index->other_file(ids[i], preferred).value_or(std::string()));
        } else {
            out.emplace_back();
        }
    }
    return out;
}

void remove_with_prefix(const fs::path& dir, std::string_view prefix) {
    for (const std::string& name : names_with_prefix(list_names(dir), prefix)) {
        std::error_code ec;
        if (!fs::is_directory(fs::symlink_status(dir / name, ec))) fs::remove(dir / name, ec);
    }
}

void sweep_crash_debris(const fs::path& db_path, const fs::path& cache,
                        const std::optional<std::vector<std::string>>& catalogued) {
    const fs::path dir = db_path.parent_path();
    remove_names(dir, stale_catalogue_temps(dir, db_path.filename().string()));
    if (catalogued)
        remove_names(cache, orphan_asset_files(cache, *catalogued, orphan_min_age_seconds));
}

std::size_t remove_names(const fs::path& dir, const std::vector<std::string>& names) {
    std::size_t removed = 0;
    for (const std::string& name : names) {
        std::error_code ec;
        if (fs::remove(dir / name, ec) && !ec) ++removed;
    }
    return removed;
}

}  // namespace vestrel::media
