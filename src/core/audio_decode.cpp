#include "core/audio_decode.hpp"

#include <algorithm>
#include <filesystem>
#include <memory>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace vestrel::audio {

namespace {

std::string av_message(int code) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, buf, sizeof buf);
    return buf;
}

[[noreturn]] void fail(const std::string& path, const std::string& why) {
    throw DecodeError("cannot decode audio file '" + path + "': " + why);
}

struct FormatCloser {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct CodecFreer {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct SwrFreer {
    void operator()(SwrContext* c) const { swr_free(&c); }
};
struct PacketFreer {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FrameFreer {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};

// A resampler from any layout and rate of planar or packed samples to mono float at the
// internal rate; libswresample does the down-mix (equal weights for the channels).
std::unique_ptr<SwrContext, SwrFreer> make_resampler(const AVChannelLayout& in_layout,
                                                     AVSampleFormat in_format, int in_rate) {
    SwrContext* swr = nullptr;
    AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
    AVChannelLayout in = {};
    if (av_channel_layout_copy(&in, &in_layout) < 0) return nullptr;
    // A stream that names no layout (plain WAV) is taken in the default order of its count.
    if (in.order == AV_CHANNEL_ORDER_UNSPEC) {
        const int count = in.nb_channels;
        av_channel_layout_uninit(&in);
        av_channel_layout_default(&in, count);
    }
    const int rc = swr_alloc_set_opts2(&swr, &mono, AV_SAMPLE_FMT_FLT, kInternalRate, &in,
                                       in_format, in_rate, 0, nullptr);
    av_channel_layout_uninit(&in);
    if (rc < 0 || !swr) {
        return nullptr;
    }
    std::unique_ptr<SwrContext, SwrFreer> owned(swr);
    // A short interpolating filter: the features look at bands of 50 Hz and more, and the
    // default filter costs several times as much for no difference there.
    av_opt_set_int(swr, "filter_size", 16, 0);
    av_opt_set_int(swr, "linear_interp", 1, 0);
    if (swr_init(swr) < 0) return nullptr;
    return owned;
}

// Converts `in_count` input samples (or flushes with in == nullptr) and appends the output.
int convert_into(SwrContext* swr, const std::uint8_t** in, int in_count, std::vector<float>& out) {
    const int room = swr_get_out_samples(swr, in_count);
    if (room < 0) return room;
    const std::size_t before = out.size();
    out.resize(before + static_cast<std::size_t>(room) + 1);
    std::uint8_t* dst = reinterpret_cast<std::uint8_t*>(out.data() + before);
    const int got = swr_convert(swr, &dst, room + 1, in, in_count);
    out.resize(before + static_cast<std::size_t>(got < 0 ? 0 : got));
    return got;
}

}  // namespace

Decoded decode_file(const std::string& path) {
    // Failures come back as exceptions with their reason; libav's own console chatter about
    // probing would only interleave with the server's log.
    static std::once_flag quiet;
    std::call_once(quiet, [] { av_log_set_level(AV_LOG_QUIET); });
    std::error_code ec;
    if (!std::filesystem::is_regular_file(std::filesystem::u8path(path), ec))
        throw FileMissing("no such audio file: '" + path + "'");

    AVFormatContext* raw_fmt = nullptr;
    if (int rc = avformat_open_input(&raw_fmt, path.c_str(), nullptr, nullptr); rc < 0)
        fail(path, av_message(rc));
    std::unique_ptr<AVFormatContext, FormatCloser> fmt(raw_fmt);
    if (int rc = avformat_find_stream_info(fmt.get(), nullptr); rc < 0) fail(path, av_message(rc));
    const AVCodec* codec = nullptr;
    const int stream_index = av_find_best_stream(fmt.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
    if (stream_index < 0 || !codec) fail(path, "no audio stream");
    AVStream* stream = fmt->streams[stream_index];

    std::unique_ptr<AVCodecContext, CodecFreer> dec(avcodec_alloc_context3(codec));
    if (!dec) fail(path, "out of memory");
    if (int rc = avcodec_parameters_to_context(dec.get(), stream->codecpar); rc < 0)
        fail(path, av_message(rc));
    if (int rc = avcodec_open2(dec.get(), codec, nullptr); rc < 0) fail(path, av_message(rc));
    // Only the audio stream is read; any cover art or other stream is skipped by the demuxer.
    for (unsigned i = 0; i < fmt->nb_streams; ++i)
        if (static_cast<int>(i) != stream_index) fmt->streams[i]->discard = AVDISCARD_ALL;

    std::unique_ptr<AVPacket, PacketFreer> packet(av_packet_alloc());
    std::unique_ptr<AVFrame, FrameFreer> frame(av_frame_alloc());
    if (!packet || !frame) fail(path, "out of memory");

    Decoded out;
    std::unique_ptr<SwrContext, SwrFreer> swr;
    int source_rate = 0;
    std::int64_t source_samples = 0;

    auto drain = [&]() {
        for (;;) {
            int rc = avcodec_receive_frame(dec.get(), frame.get());
            if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return;
            if (rc < 0) fail(path, av_message(rc));
            if (!swr) {
                source_rate = frame->sample_rate;
                if (source_rate <= 0) fail(path, "no sample rate");
                swr = make_resampler(frame->ch_layout, static_cast<AVSampleFormat>(frame->format),
                                     source_rate);
                if (!swr) fail(path, "unsupported sample layout");
                // A minute of speech at the internal rate, reserved once.
                out.samples.reserve(static_cast<std::size_t>(kInternalRate) * 60);
            } else if (frame->sample_rate != source_rate) {
                fail(path, "sample rate changes inside the stream");
            }
            source_samples += frame->nb_samples;
            if (convert_into(swr.get(), const_cast<const std::uint8_t**>(frame->extended_data),
                             frame->nb_samples, out.samples) < 0)
                fail(path, "resampling failed");
            av_frame_unref(frame.get());
        }
    };

    for (;;) {
        int rc = av_read_frame(fmt.get(), packet.get());
        if (rc == AVERROR_EOF) break;
        if (rc < 0) fail(path, av_message(rc));
        if (packet->stream_index == stream_index) {
            rc = avcodec_send_packet(dec.get(), packet.get());
            // A damaged packet is skipped, as players do; the rest of the file still counts.
            if (rc < 0 && rc != AVERROR(EAGAIN) && rc != AVERROR_INVALIDDATA) {
                av_packet_unref(packet.get());
                fail(path, av_message(rc));
            }
            drain();
        }
        av_packet_unref(packet.get());
    }
    avcodec_send_packet(dec.get(), nullptr);
    drain();
    if (!swr) fail(path, "no audio samples");
    if (convert_into(swr.get(), nullptr, 0, out.samples) < 0) fail(path, "resampling failed");
    out.duration = static_cast<double>(source_samples) / source_rate;
    return out;
}

std::vector<float> resample_pcm16(const std::int16_t* pcm, std::size_t count, int rate) {
    std::vector<float> out;
    if (count == 0) return out;
    if (rate <= 0) throw std::invalid_argument("sample rate must be positive");
    if (rate == kInternalRate) {
        out.resize(count);
        for (std::size_t i = 0; i < count; ++i) out[i] = pcm[i] * (1.0f / 32768.0f);
        return out;
    }
    AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
    auto swr = make_resampler(mono, AV_SAMPLE_FMT_S16, rate);
    if (!swr) throw std::runtime_error("cannot set up the resampler");
    out.reserve(count * kInternalRate / static_cast<std::size_t>(rate) + 64);
    // In pieces that fit an int sample count.
    constexpr std::size_t kChunk = 1 << 20;
    for (std::size_t at = 0; at < count; at += kChunk) {
        const std::uint8_t* in = reinterpret_cast<const std::uint8_t*>(pcm + at);
        const int n = static_cast<int>(std::min(kChunk, count - at));
        if (convert_into(swr.get(), &in, n, out) < 0) throw std::runtime_error("resampling failed");
    }
    if (convert_into(swr.get(), nullptr, 0, out) < 0) throw std::runtime_error("resampling failed");
    return out;
}

}  // namespace vestrel::audio
