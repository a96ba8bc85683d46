// Writing speech to audio files: WAV (16-bit PCM) and MP3 (LAME, constant bit rate), with
// resampling through libswresample. A file is written whole to a temporary name beside its
// target and renamed over it only when complete, so a failure never leaves a partly written
// file under the target's name.
#pragma once

#include "core/error.hpp"
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace vestrel::audio {

enum class Container { Wav, Mp3 };

// An encoding or writing failure. `error_number()` is the errno of a failed file operation
// (0 for other failures) and `path()` the file it concerns.
class Error : public vestrel::Error {
public:
    explicit Error(const std::string& message, int error_number = 0, std::string path = {},
                   ErrorKind kind = ErrorKind::Runtime)
        : vestrel::Error(error_number == ENOENT ? ErrorKind::FileNotFound
                         : error_number != 0    ? ErrorKind::Os
                                                : kind,
                         message),
          errno_(error_number),
          path_(std::move(path)) {}
    int error_number() const { return errno_; }
    const std::string& path() const { return path_; }

private:
    int errno_;
    std::string path_;
};

// An output name whose extension is neither ".mp3" nor ".wav".
class UnsupportedFormat : public Error {
public:
    explicit UnsupportedFormat(const std::string& message)
        : Error(message, 0, {}, ErrorKind::Value) {}
};

// The container for a file name by its extension, case-insensitive (".mp3", ".wav"; the
// extension as os.path.splitext sees it). Throws UnsupportedFormat.
Container container_for(const std::string& path);

// Mono 16-bit samples from `from_rate` to `to_rate` (libswresample's windowed-sinc filter).
// The result has round(n * to_rate / from_rate) samples.
std::vector<std::int16_t> resample(const std::vector<std::int16_t>& samples, int from_rate,
                                   int to_rate);

// A RIFF/WAVE file of mono 16-bit PCM.
std::vector<std::uint8_t> encode_wav(const std::vector<std::int16_t>& samples, int sample_rate);

struct Mp3Options {
    int sample_rate = 44100;  // samples are resampled to this rate first if they differ
    int bitrate_kbps = 192;   // constant bit rate
    int quality = 3;          // LAME's algorithm quality, 0 (best, slowest) to 9
    // 0: half the input's rate when it is resampled up (nothing lies above it, so LAME need
    // not code that band), else LAME's choice for the bit rate; -1: no low-pass.
    int lowpass_hz = 0;
};

// A mono MP3 stream at constant bit rate, with a LAME "Info" header frame carrying the
// encoder delay and padding, so decoders that read it return exactly the input's length.
std::vector<std::uint8_t> encode_mp3(const std::vector<std::int16_t>& samples, int sample_rate,
                                     const Mp3Options& options = {});

// Writes `bytes` to `path`: first to a new temporary file in the same directory, then renamed
// over `path`. On failure the temporary file is removed and `path` is untouched.
void write_file_atomically(const std::string& path, const std::vector<std::uint8_t>& bytes);

// Encodes mono samples in the container that `path`'s extension names and writes the file
// atomically; the extension is checked before anything is encoded or written.
void write_audio_file(const std::string& path, const std::vector<std::int16_t>& samples,
                      int sample_rate, const Mp3Options& mp3 = {});

}  // namespace vestrel::audio
