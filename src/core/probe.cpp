#include "core/probe.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/log.h>
}

namespace vestrel::probe {

namespace {

using resolve_sim::MediaInfo;

struct FormatCloser {
    void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};

// A time as ffprobe prints it ("%f" seconds), read back; 0 when unknown.
double printed_seconds(int64_t ts, AVRational time_base) {
    if (ts == AV_NOPTS_VALUE) return 0.0;
    char text[64];
    std::snprintf(text, sizeof text, "%f", static_cast<double>(ts) * av_q2d(time_base));
    return frames::leading_number(text).value_or(0.0);
}

std::optional<frames::Rational> rate_of(AVRational r) {
    if (r.num <= 0 || r.den <= 0) return std::nullopt;
    return frames::make_rational(r.num, r.den);
}

std::optional<MediaInfo> read_streams(const std::string& path) {
    static std::once_flag quiet;
    std::call_once(quiet, [] { av_log_set_level(AV_LOG_QUIET); });
    AVFormatContext* raw = nullptr;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "scan_all_pmts", "1", 0);  // as ffprobe opens an MPEG-TS file
    const int rc = avformat_open_input(&raw, path.c_str(), nullptr, &options);
    av_dict_free(&options);
    if (rc < 0) return std::nullopt;
    std::unique_ptr<AVFormatContext, FormatCloser> fmt(raw);
    if (avformat_find_stream_info(fmt.get(), nullptr) < 0) return std::nullopt;

    MediaInfo info;
    // A video's length is its picture's: the sound of a file may run a little longer.
    double video_duration = 0.0, audio_duration = 0.0;
    for (unsigned i = 0; i < fmt->nb_streams; ++i) {
        const AVStream* s = fmt->streams[i];
        const double duration = printed_seconds(s->duration, s->time_base);
        if (s->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
            info.has_audio = true;
            audio_duration = std::max(audio_duration, duration);
        } else if (s->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !info.has_video) {
            if (s->disposition & AV_DISPOSITION_ATTACHED_PIC) continue;  // an audio's cover art
            info.has_video = true;
            auto rate = rate_of(s->r_frame_rate);
            if (!rate || rate->value() > 240.0) rate = rate_of(s->avg_frame_rate);
            info.rate = rate;
            info.width = s->codecpar->width;
            info.height = s->codecpar->height;
            video_duration = duration;
        }
    }
    info.duration = video_duration > 0   ? video_duration
                    : audio_duration > 0 ? audio_duration
                                         : printed_seconds(fmt->duration, AV_TIME_BASE_Q);
    if (!info.has_video && !info.has_audio) return std::nullopt;
    return info;
}

std::optional<MediaInfo> read_file(const std::string& path) {
    auto info = read_streams(path);
    return info ? info : by_extension(path);
}

}  // namespace

std::optional<MediaInfo> by_extension(const std::string& path) {
    static const char* video[] = {"mp4", "mov", "m4v", "mkv", "avi", "webm", "mxf", "mts"};
    static const char* audio[] = {"mp3", "wav", "m4a", "aac", "flac", "ogg", "aif", "aiff"};
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return std::nullopt;
    std::string ext = path.substr(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    MediaInfo info;
    for (const char* e : video) info.has_video |= ext == e;
    for (const char* e : audio) info.has_audio |= ext == e;
    if (!info.has_video && !info.has_audio) return std::nullopt;
    return info;
}

std::optional<MediaInfo> probe_media(const std::string& path) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    if (ec) return read_file(path);
    const auto mtime = std::filesystem::last_write_time(path, ec);
    if (ec) return read_file(path);
    const std::string key = path + '\0' + std::to_string(size) + '\0' +
                            std::to_string(mtime.time_since_epoch().count());
    static std::mutex m;
    static auto& cache = *new std::map<std::string, std::optional<MediaInfo>>();
    {
        std::lock_guard lock(m);
        if (auto it = cache.find(key); it != cache.end()) return it->second;
    }
    auto info = read_file(path);
    std::lock_guard lock(m);
    cache.emplace(key, info);
    return info;
}

}  // namespace vestrel::probe
