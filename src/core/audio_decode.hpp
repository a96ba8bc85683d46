// Decoding of voice-overs (MP3, WAV, anything libavformat opens) into mono float samples at
// the one rate every analysis of the aligner uses.
#pragma once

#include "core/error.hpp"
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace vestrel::audio {

// 22,050 Hz: the rate espeak-ng speaks at, so the aligner's reference needs no resampling,
// and exactly half of the 44.1 kHz of the MP3s the pipeline writes; it holds the whole band
// that tells speech sounds apart (fricatives up to 8 kHz and more). Other sources (Edge's
// 24 kHz) are resampled to it.
inline constexpr int kInternalRate = 22050;

struct Decoded {
    std::vector<float> samples;  // mono, kInternalRate, nominally in [-1, 1]
    double duration = 0.0;       // seconds, from the decoded sample count at the source rate
};

class DecodeError : public vestrel::Error {
  public:
    explicit DecodeError(const std::string& message, ErrorKind kind = ErrorKind::Runtime)
        : vestrel::Error(kind, message) {}
};
// The file does not exist (or is no regular file).
class FileMissing : public DecodeError {
  public:
    explicit FileMissing(const std::string& message)
        : DecodeError(message, ErrorKind::FileNotFound) {}
};

// Decodes the first audio stream of the file at `path` (UTF-8) down-mixed to mono and
// resampled to kInternalRate. Throws FileMissing or DecodeError with the path and the reason.
Decoded decode_file(const std::string& path);

// Resamples mono 16-bit PCM at `rate` to mono float at kInternalRate.
std::vector<float> resample_pcm16(const std::int16_t* pcm, std::size_t count, int rate);

}  // namespace vestrel::audio
