#include "core/audio_codec.hpp"

#include <fcntl.h>
#include <lame/lame.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

namespace vestrel::audio {

namespace {

std::string lower(std::string s) {
    for (char& ch : s)
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    return s;
}

// The extension as os.path.splitext finds it: from the last dot of the file name, leading
// dots of the name not counting (".mp3" alone has none).
std::string extension_of(const std::string& path) {
    std::size_t slash = path.find_last_of('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::size_t first = name.find_first_not_of('.');
    if (first == std::string::npos) return "";
    std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot < first) return "";
    return name.substr(dot);
}

void put_u32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>((v >> (8 * i)) & 0xFF));
}
void put_u16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v & 0xFF));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void put_tag(std::vector<std::uint8_t>& out, const char* tag) {
    out.insert(out.end(), tag, tag + 4);
}

std::string av_error(int code) {
    char buffer[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_strerror(code, buffer, sizeof buffer);
    return buffer;
}

Error lame_error(int code) {
    return Error("MP3 encoding failed (LAME error " + std::to_string(code) + ")");
}

struct SwrFree {
    void operator()(SwrContext* s) const { swr_free(&s); }
};
struct LameClose {
    void operator()(lame_global_flags* g) const { lame_close(g); }
};

// A short hidden name in the target's directory that nothing else uses (the process id, a
// counter and a random number), so it fits wherever the target's name fits and the rename
// stays within one file system.
std::string temporary_name(const std::string& path) {
    static std::atomic<unsigned> counter{0};
    static thread_local std::mt19937_64 rng{std::random_device{}()};
    char name[80];
    std::snprintf(name, sizeof name, ".vestrel-%d-%u-%08llx.part", static_cast<int>(getpid()),
                  counter.fetch_add(1), static_cast<unsigned long long>(rng() & 0xFFFFFFFFu));
    std::size_t slash = path.find_last_of('/');
    return (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + name;
}

}  // namespace

Container container_for(const std::string& path) {
    std::string ext = lower(extension_of(path));
    if (ext == ".mp3") return Container::Mp3;
    if (ext == ".wav") return Container::Wav;
    throw UnsupportedFormat("Unsupported audio file extension '" + extension_of(path) +
                            "' for '" + path + "': use .mp3 or .wav");
}

std::vector<std::int16_t> resample(const std::vector<std::int16_t>& samples, int from_rate,
                                   int to_rate) {
    if (from_rate <= 0 || to_rate <= 0) throw Error("invalid sample rate for resampling");
    if (from_rate == to_rate || samples.empty()) return samples;

    AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
    SwrContext* raw = nullptr;
    int rc = swr_alloc_set_opts2(&raw, &mono, AV_SAMPLE_FMT_S16, to_rate, &mono,
                                 AV_SAMPLE_FMT_S16, from_rate, 0, nullptr);
    std::unique_ptr<SwrContext, SwrFree> swr(raw);
    if (rc < 0 || !swr) throw Error("resampler could not be set up: " + av_error(rc));
    if ((rc = swr_init(swr.get())) < 0)
        throw Error("resampler could not be set up: " + av_error(rc));

    const std::int64_t wanted =
        (static_cast<std::int64_t>(samples.size()) * to_rate + from_rate / 2) / from_rate;
    std::vector<std::int16_t> out(static_cast<std::size_t>(wanted) + 256);
    const std::uint8_t* in = reinterpret_cast<const std::uint8_t*>(samples.data());
    std::uint8_t* dst = reinterpret_cast<std::uint8_t*>(out.data());
    int done = swr_convert(swr.get(), &dst, static_cast<int>(out.size()), &in,
                           static_cast<int>(samples.size()));
    if (done < 0) throw Error("resampling failed: " + av_error(done));
    // Drain the filter's delay line: the last input samples come out here.
    std::size_t total = static_cast<std::size_t>(done);
    while (total < out.size()) {
        dst = reinterpret_cast<std::uint8_t*>(out.data() + total);
        int more = swr_convert(swr.get(), &dst, static_cast<int>(out.size() - total), nullptr, 0);
        if (more < 0) throw Error("resampling failed: " + av_error(more));
        if (more == 0) break;
        total += static_cast<std::size_t>(more);
    }
    out.resize(std::min<std::size_t>(total, static_cast<std::size_t>(wanted)));
    out.resize(static_cast<std::size_t>(wanted), 0);
    return out;
}

std::vector<std::uint8_t> encode_wav(const std::vector<std::int16_t>& samples, int sample_rate) {
    const std::uint64_t data_bytes = static_cast<std::uint64_t>(samples.size()) * 2;
    if (data_bytes > 0xFFFFFFFFull - 36) throw Error("audio too long for a WAV file");
    std::vector<std::uint8_t> out;
    out.reserve(44 + data_bytes);
    put_tag(out, "RIFF");
    put_u32(out, static_cast<std::uint32_t>(36 + data_bytes));
    put_tag(out, "WAVE");
    put_tag(out, "fmt ");
    put_u32(out, 16);
    put_u16(out, 1);  // PCM
    put_u16(out, 1);  // mono
    put_u32(out, static_cast<std::uint32_t>(sample_rate));
    put_u32(out, static_cast<std::uint32_t>(sample_rate) * 2);  // bytes per second
    put_u16(out, 2);                                            // bytes per frame
    put_u16(out, 16);                                           // bits per sample
    put_tag(out, "data");
    put_u32(out, static_cast<std::uint32_t>(data_bytes));
    for (std::int16_t s : samples) put_u16(out, static_cast<std::uint16_t>(s));
    return out;
}

std::vector<std::uint8_t> encode_mp3(const std::vector<std::int16_t>& input, int sample_rate,
                                     const Mp3Options& options) {
    std::vector<std::int16_t> resampled;
    const std::vector<std::int16_t>* samples = &input;
    if (sample_rate != options.sample_rate) {
        resampled = resample(input, sample_rate, options.sample_rate);
        samples = &resampled;
    }

    std::unique_ptr<lame_global_flags, LameClose> gf(lame_init());
    if (!gf) throw Error("LAME could not be initialised");
    lame_set_num_channels(gf.get(), 1);
    lame_set_mode(gf.get(), MONO);
    lame_set_in_samplerate(gf.get(), options.sample_rate);
    lame_set_out_samplerate(gf.get(), options.sample_rate);
    lame_set_VBR(gf.get(), vbr_off);
    lame_set_brate(gf.get(), options.bitrate_kbps);
    lame_set_quality(gf.get(), options.quality);
    int lowpass = options.lowpass_hz;
    if (lowpass == 0 && sample_rate < options.sample_rate) lowpass = sample_rate / 2;
    if (lowpass != 0) lame_set_lowpassfreq(gf.get(), lowpass);
    lame_set_bWriteVbrTag(gf.get(), 1);  // the Info frame with delay and padding
    lame_set_write_id3tag_automatic(gf.get(), 0);
    if (lame_init_params(gf.get()) < 0)
        throw Error("LAME refused the settings (" + std::to_string(options.sample_rate) + " Hz, " +
                    std::to_string(options.bitrate_kbps) + " kbit/s)");

    // LAME's worst case: 1.25 * samples + 7200 bytes per call. Encode in blocks so the
    // buffer stays small and the count fits an int.
    constexpr std::size_t kBlock = 1 << 16;
    std::vector<std::uint8_t> out;
    const double seconds = static_cast<double>(samples->size()) / options.sample_rate;
    out.reserve(static_cast<std::size_t>(seconds * options.bitrate_kbps * 125) + 16384);
    std::vector<unsigned char> buffer(kBlock * 5 / 4 + 7200);
    for (std::size_t at = 0; at < samples->size(); at += kBlock) {
        int n = static_cast<int>(std::min(kBlock, samples->size() - at));
        // Mono: LAME reads only the left channel.
        short* pcm = const_cast<short*>(samples->data() + at);
        int written = lame_encode_buffer(gf.get(), pcm, pcm, n, buffer.data(),
                                         static_cast<int>(buffer.size()));
        if (written < 0) throw lame_error(written);
        out.insert(out.end(), buffer.begin(), buffer.begin() + written);
    }
    int written = lame_encode_flush(gf.get(), buffer.data(), static_cast<int>(buffer.size()));
    if (written < 0) throw lame_error(written);
    out.insert(out.end(), buffer.begin(), buffer.begin() + written);

    // LAME left an empty frame at the start for the Info header: fill it in now.
    std::size_t tag = lame_get_lametag_frame(gf.get(), buffer.data(), buffer.size());
    if (tag > 0 && tag <= buffer.size() && tag <= out.size())
        std::memcpy(out.data(), buffer.data(), tag);
    return out;
}

void write_file_atomically(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    const std::string temp = temporary_name(path);
    // 0666 less the umask, as for any file the process creates.
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        int e = errno;
        throw Error("cannot write '" + path + "': " + std::strerror(e), e, path);
    }
    auto fail = [&](int e) {
        ::close(fd);
        ::unlink(temp.c_str());
        throw Error("cannot write '" + path + "': " + std::strerror(e), e, path);
    };
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail(errno);
        }
        done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0) {
        int e = errno;
        ::unlink(temp.c_str());
        throw Error("cannot write '" + path + "': " + std::strerror(e), e, path);
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        int e = errno;
        ::unlink(temp.c_str());
        throw Error("cannot write '" + path + "': " + std::strerror(e), e, path);
    }
}

void write_audio_file(const std::string& path, const std::vector<std::int16_t>& samples,
                      int sample_rate, const Mp3Options& mp3) {
    Container container = container_for(path);
    write_file_atomically(path, container == Container::Mp3 ? encode_mp3(samples, sample_rate, mp3)
                                                            : encode_wav(samples, sample_rate));
}

}  // namespace vestrel::audio
