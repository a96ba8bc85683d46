#include "core/dtw_align.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>

extern "C" {
#include <libavutil/mem.h>
#include <libavutil/tx.h>
}

#include "core/audio_decode.hpp"

namespace vestrel::dtw {

namespace {

constexpr int kFft = kWindow;
constexpr int kBins = kFft / 2 + 1;
constexpr int kMelBands = 40;
constexpr double kMelLow = 50.0, kMelHigh = 7600.0;
constexpr float kPreEmphasis = 0.97f;
constexpr float kFloorDb = -100.0f;

double hz_to_mel(double hz) { return 2595.0 * std::log10(1.0 + hz / 700.0); }
double mel_to_hz(double mel) { return 700.0 * (std::pow(10.0, mel / 2595.0) - 1.0); }

// Window, sparse triangular mel filters and DCT rows, built once.
struct Tables {
    std::array<float, kWindow> window{};
    struct Filter {
        int first = 0;
        std::vector<float> weights;
    };
    std::array<Filter, kMelBands> filters;
    std::array<std::array<float, kMelBands>, kCepstra + 1> dct{};

    Tables() {
        for (int i = 0; i < kWindow; ++i)
            window[i] = static_cast<float>(0.54 - 0.46 * std::cos(2 * M_PI * i / (kWindow - 1)));
        const double lo = hz_to_mel(kMelLow), hi = hz_to_mel(kMelHigh);
        std::array<double, kMelBands + 2> edges{};
        for (int k = 0; k < kMelBands + 2; ++k)
            edges[k] = mel_to_hz(lo + (hi - lo) * k / (kMelBands + 1)) * kFft /
                       audio::kInternalRate;  // in bins
        for (int b = 0; b < kMelBands; ++b) {
            const double l = edges[b], c = edges[b + 1], r = edges[b + 2];
            Filter& f = filters[b];
            f.first = static_cast<int>(std::ceil(l));
            for (int bin = f.first; bin <= static_cast<int>(std::floor(r)) && bin < kBins; ++bin) {
                const double w = bin <= c ? (bin - l) / (c - l) : (r - bin) / (r - c);
                f.weights.push_back(static_cast<float>(std::max(0.0, w)));
            }
        }
        for (int c = 0; c <= kCepstra; ++c)
            for (int b = 0; b < kMelBands; ++b)
                dct[c][b] = static_cast<float>(std::sqrt(2.0 / kMelBands) *
                                               std::cos(M_PI * c * (b + 0.5) / kMelBands));
    }
};

const Tables& tables() {
    static const Tables t;
    return t;
}

struct TxFree {
    void operator()(AVTXContext* c) const { av_tx_uninit(&c); }
};
struct AvFree {
    void operator()(void* p) const { av_free(p); }
};

// Regression deltas over two frames on each side (edges repeat the outer frame).
void add_deltas(Features& f) {
    constexpr int half = kDims / 2;
    const std::ptrdiff_t n = static_cast<std::ptrdiff_t>(f.frames);
    auto at = [&](std::ptrdiff_t i, int d) {
        i = std::clamp<std::ptrdiff_t>(i, 0, n - 1);
        return f.values[static_cast<std::size_t>(i) * kDims + d];
    };
    for (std::ptrdiff_t i = 0; i < n; ++i)
        for (int d = 0; d < half; ++d)
            f.values[static_cast<std::size_t>(i) * kDims + half + d] =
                ((at(i + 1, d) - at(i - 1, d)) + 2 * (at(i + 2, d) - at(i - 2, d))) / 10.0f;
}

}  // namespace

Features compute_features(const float* samples, std::size_t count) {
    Features out;
    out.frames = (count + kHop - 1) / kHop;
    out.values.assign(out.frames * kDims, 0.0f);
    out.energy_db.assign(out.frames, kFloorDb);
    if (out.frames == 0) return out;
    const Tables& t = tables();

    AVTXContext* raw = nullptr;
    av_tx_fn fft = nullptr;
    const float scale = 1.0f;
    if (av_tx_init(&raw, &fft, AV_TX_FLOAT_RDFT, 0, kFft, &scale, 0) < 0)
        throw std::runtime_error("cannot set up the FFT");
    std::unique_ptr<AVTXContext, TxFree> tx(raw);
    std::unique_ptr<float, AvFree> in(static_cast<float*>(av_malloc(sizeof(float) * (kFft + 2))));
    std::unique_ptr<AVComplexFloat, AvFree> spec(
        static_cast<AVComplexFloat*>(av_malloc(sizeof(AVComplexFloat) * kBins)));
    if (!in || !spec) throw std::bad_alloc();
    std::array<float, kBins> power{};
    // Mel energies of all frames first: the floor below depends on the whole signal.
    std::vector<float> mel(out.frames * kMelBands);
    std::vector<float> mel_total(out.frames);

    // The signal padded by half a window on both sides (and one sample more in front, for the
    // pre-emphasis), so that every frame is a plain slice.
    const std::size_t pad = kWindow / 2 + 1;
    std::vector<float> plain(count + 2 * pad + kWindow, 0.0f);
    std::copy(samples, samples + count, plain.begin() + static_cast<std::ptrdiff_t>(pad));
    for (std::size_t i = 0; i < out.frames; ++i) {
        const float* r = plain.data() + 1 + i * kHop;
        float* x = in.get();
        float energy = 0.0f;
        for (int k = 0; k < kWindow; ++k) {
            energy += r[k] * r[k];
            x[k] = (r[k] - kPreEmphasis * r[k - 1]) * t.window[k];
        }
        std::fill(x + kWindow, x + kFft + 2, 0.0f);
        fft(tx.get(), spec.get(), x, sizeof(float));
        for (int b = 0; b < kBins; ++b)
            power[b] = spec.get()[b].re * spec.get()[b].re + spec.get()[b].im * spec.get()[b].im;
        float sum = 0.0f;
        for (int m = 0; m < kMelBands; ++m) {
            const auto& f = t.filters[m];
            float acc = 0.0f;
            for (std::size_t w = 0; w < f.weights.size(); ++w)
                acc += f.weights[w] * power[f.first + w];
            mel[i * kMelBands + m] = acc;
            sum += acc;
        }
        mel_total[i] = sum;
        const float db =
            energy > 0.0f ? static_cast<float>(10.0 * std::log10(energy / kWindow)) : kFloorDb;
        out.energy_db[i] = std::max(db, kFloorDb);
    }

    // Pauses look alike in every recording only when what lies far below the speech is cut
    // off: digital silence, an encoder's noise floor and room noise all become one flat
    // floor, 50 dB under the loud frames (cepstra 0, energy at the floor).
    auto loud_level = [](std::vector<float> v) {
        const std::size_t k = (v.size() - 1) * 95 / 100;
        std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
        return v[k];
    };
    const float band_floor = std::max(loud_level(mel_total) * 1e-5f / kMelBands, 1e-20f);
    const float energy_floor = loud_level(out.energy_db) - 50.0f;
    std::array<float, kMelBands> logmel{};
    for (std::size_t i = 0; i < out.frames; ++i) {
        for (int m = 0; m < kMelBands; ++m)
            logmel[m] = std::log(std::max(mel[i * kMelBands + m], band_floor));
        float* row = out.values.data() + i * kDims;
        for (int c = 1; c <= kCepstra; ++c) {
            float acc = 0.0f;
            for (int m = 0; m < kMelBands; ++m) acc += t.dct[c][m] * logmel[m];
            row[c - 1] = acc;
        }
        // Log energy in natural-log units, like the cepstra.
        row[kCepstra] = std::max(out.energy_db[i], energy_floor) * 0.2302585f;
    }
    add_deltas(out);
    return out;
}

float silence_threshold_db(const std::vector<float>& energy_db) {
    if (energy_db.empty()) return 0.0f;
    // The loud level is the 95th percentile rather than the maximum, so one click does not
    // raise the threshold.
    std::vector<float> sorted = energy_db;
    const std::size_t k = (sorted.size() - 1) * 95 / 100;
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(k), sorted.end());
    return std::max(sorted[k] - kSilenceBelowLoud, kFloorDb + 30.0f);
}

Range speech_range(const std::vector<float>& energy_db, float threshold_db) {
    Range r;
    std::size_t i = 0;
    while (i < energy_db.size() && energy_db[i] <= threshold_db) ++i;
    if (i == energy_db.size()) return r;
    std::size_t j = energy_db.size();
    while (j > i && energy_db[j - 1] <= threshold_db) --j;
    r.begin = i;
    r.end = j;
    return r;
}

void normalise(Features& f, Range range, float threshold_db) {
    if (range.size() == 0) range = {0, f.frames};
    std::vector<std::size_t> loud;
    for (std::size_t i = range.begin; i < range.end; ++i)
        if (f.energy_db[i] > threshold_db) loud.push_back(i);
    if (loud.empty())
        for (std::size_t i = range.begin; i < range.end; ++i) loud.push_back(i);
    if (loud.empty()) return;
    for (int d = 0; d < kDims; ++d) {
        double sum = 0.0, sq = 0.0;
        for (std::size_t i : loud) {
            const double v = f.values[i * kDims + d];
            sum += v;
            sq += v * v;
        }
        const double mean = sum / loud.size();
        const double var = std::max(sq / loud.size() - mean * mean, 1e-8);
        const float inv = static_cast<float>(1.0 / std::sqrt(var));
        for (std::size_t i = 0; i < f.frames; ++i) {
            float& v = f.values[i * kDims + d];
            v = static_cast<float>((v - mean) * inv);
        }
    }
}

Corridor diagonal_band(std::size_t n, std::size_t m, std::size_t radius) {
    Corridor c;
    c.lo.resize(n);
    c.hi.resize(n);
    const double slope = n > 1 ? static_cast<double>(m - 1) / static_cast<double>(n - 1) : 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double centre = slope * static_cast<double>(i);
        const double lo = std::floor(centre) - static_cast<double>(radius);
        const double hi = std::ceil(centre) + static_cast<double>(radius);
        c.lo[i] = static_cast<std::uint32_t>(std::clamp(lo, 0.0, static_cast<double>(m - 1)));
        c.hi[i] = static_cast<std::uint32_t>(std::clamp(hi, 0.0, static_cast<double>(m - 1)));
    }
    if (n > 0) {
        c.lo[0] = 0;
        c.hi[n - 1] = static_cast<std::uint32_t>(m - 1);
    }
    return c;
}

namespace {

float distance(const float* x, const float* y, std::size_t dims) {
    float acc = 0.0f;
    for (std::size_t d = 0; d < dims; ++d) {
        const float diff = x[d] - y[d];
        acc += diff * diff;
    }
    return std::sqrt(acc);
}

// Makes a corridor passable: lo and hi never decrease, each row overlaps or touches the
// previous one, and the two corners are inside. Only ever widens.
void make_passable(Corridor& c, std::size_t m) {
    const std::size_t n = c.lo.size();
    if (n == 0) return;
    c.lo[0] = 0;
    c.hi[n - 1] = static_cast<std::uint32_t>(m - 1);
    for (std::size_t i = 1; i < n; ++i) c.hi[i] = std::max(c.hi[i], c.hi[i - 1]);
    for (std::size_t i = n - 1; i-- > 0;) c.lo[i] = std::min(c.lo[i], c.lo[i + 1]);
    for (std::size_t i = 1; i < n; ++i)
        if (c.lo[i] > c.hi[i - 1] + 1) c.lo[i] = c.hi[i - 1] + 1;
}

// Frames averaged two at a time (a last odd frame stands alone).
std::vector<float> halve(const std::vector<float>& x, std::size_t frames, std::size_t dims) {
    const std::size_t half = (frames + 1) / 2;
    std::vector<float> out(half * dims);
    for (std::size_t i = 0; i < half; ++i) {
        const float* a = x.data() + 2 * i * dims;
        float* o = out.data() + i * dims;
        if (2 * i + 1 < frames) {
            const float* b = a + dims;
            for (std::size_t d = 0; d < dims; ++d) o[d] = 0.5f * (a[d] + b[d]);
        } else {
            std::copy(a, a + dims, o);
        }
    }
    return out;
}

// The corridor of a finer level: the cells under the coarse path, widened by `radius` in
// both directions.
Corridor project(const Path& coarse, std::size_t n, std::size_t m, std::size_t radius) {
    Corridor c;
    c.lo.assign(n, std::numeric_limits<std::uint32_t>::max());
    c.hi.assign(n, 0);
    for (auto [I, J] : coarse) {
        const std::size_t r0 = std::min<std::size_t>(2 * I, n - 1);
        const std::size_t r1 = std::min<std::size_t>(2 * I + 1, n - 1);
        const std::uint32_t c0 = static_cast<std::uint32_t>(std::min<std::size_t>(2 * J, m - 1));
        const std::uint32_t c1 =
            static_cast<std::uint32_t>(std::min<std::size_t>(2 * J + 1, m - 1));
        for (std::size_t r = r0; r <= r1; ++r) {
            c.lo[r] = std::min(c.lo[r], c0);
            c.hi[r] = std::max(c.hi[r], c1);
        }
    }
    // Widen along rows (a sliding min/max over 2 * radius + 1 rows), then along columns.
    Corridor w = c;
    const std::ptrdiff_t nn = static_cast<std::ptrdiff_t>(n),
                         rr = static_cast<std::ptrdiff_t>(radius);
    for (std::ptrdiff_t i = 0; i < nn; ++i) {
        std::uint32_t lo = c.lo[i], hi = c.hi[i];
        for (std::ptrdiff_t k = std::max<std::ptrdiff_t>(0, i - rr); k <= std::min(nn - 1, i + rr);
             ++k) {
            lo = std::min(lo, c.lo[k]);
            hi = std::max(hi, c.hi[k]);
        }
        w.lo[i] = lo > radius ? static_cast<std::uint32_t>(lo - radius) : 0u;
        w.hi[i] = static_cast<std::uint32_t>(std::min<std::size_t>(hi + radius, m - 1));
    }
    make_passable(w, m);
    return w;
}

}  // namespace

Path warp_in_corridor(const float* a, std::size_t n, const float* b, std::size_t m,
                      std::size_t dims, const Corridor& corridor_in, const Quiet& quiet) {
    Path path;
    if (n == 0 || m == 0) return path;
    Corridor corridor = corridor_in;
    make_passable(corridor, m);
    constexpr float kInf = std::numeric_limits<float>::infinity();

    std::vector<std::size_t> offset(n + 1, 0);
    for (std::size_t i = 0; i < n; ++i)
        offset[i + 1] = offset[i] + (corridor.hi[i] - corridor.lo[i] + 1);
    std::vector<std::uint8_t> step(offset[n]);  // 0 diagonal, 1 from the row above, 2 from the left
    std::vector<float> prev, cur;
    std::uint32_t prev_lo = 0, prev_hi = 0;

    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t lo = corridor.lo[i], hi = corridor.hi[i];
        cur.assign(hi - lo + 1, kInf);
        const float* ai = a + i * dims;
        for (std::uint32_t j = lo; j <= hi; ++j) {
            const float d = distance(ai, b + static_cast<std::size_t>(j) * dims, dims);
            // A step that passes over a pause frame of one side (the other side holding its
            // frame) costs a fixed price, whatever that held frame is: a pause one recording
            // makes and the other does not is skipped, never matched against speech. Holding
            // a frame over the other side's speech costs the distance and a surcharge.
            const float up = (quiet.a && quiet.a[i]) ? quiet.pause_cost : d + quiet.hold_cost;
            const float left = (quiet.b && quiet.b[j]) ? quiet.pause_cost : d + quiet.hold_cost;
            float best = kInf;
            std::uint8_t how = 0;
            if (i == 0 && j == 0) {
                best = 2 * d;
            } else {
                if (i > 0 && j > 0 && j - 1 >= prev_lo && j - 1 <= prev_hi) {
                    best = prev[j - 1 - prev_lo] + 2 * d;
                    how = 0;
                }
                if (i > 0 && j >= prev_lo && j <= prev_hi && prev[j - prev_lo] + up < best) {
                    best = prev[j - prev_lo] + up;
                    how = 1;
                }
                if (j > lo && cur[j - 1 - lo] + left < best) {
                    best = cur[j - 1 - lo] + left;
                    how = 2;
                }
            }
            cur[j - lo] = best;
            step[offset[i] + (j - lo)] = how;
        }
        std::swap(prev, cur);
        prev_lo = lo;
        prev_hi = hi;
    }

    std::size_t i = n - 1, j = m - 1;
    path.emplace_back(i, j);
    while (i > 0 || j > 0) {
        const std::uint8_t how = step[offset[i] + (j - corridor.lo[i])];
        if (how == 0) {
            --i;
            --j;
        } else if (how == 1) {
            --i;
        } else {
            --j;
        }
        path.emplace_back(i, j);
    }
    std::reverse(path.begin(), path.end());
    return path;
}

Path warp(const float* a, std::size_t n, const float* b, std::size_t m, std::size_t dims,
          const WarpOptions& options, const Quiet& quiet) {
    if (n == 0 || m == 0) return {};
    // Pause marks per level: a coarse frame is quiet when both its halves are.
    auto halve_marks = [](const std::vector<std::uint8_t>& q) {
        std::vector<std::uint8_t> out((q.size() + 1) / 2);
        for (std::size_t i = 0; i < out.size(); ++i)
            out[i] = 2 * i + 1 < q.size() ? (q[2 * i] && q[2 * i + 1]) : q[2 * i];
        return out;
    };
    std::vector<std::vector<std::uint8_t>> qa, qb;
    if (quiet.a) qa.emplace_back(quiet.a, quiet.a + n);
    if (quiet.b) qb.emplace_back(quiet.b, quiet.b + m);
    // Level 0 is the input; level k averages 2^k frames. Stop early for short signals.
    std::vector<std::vector<float>> as{std::vector<float>(a, a + n * dims)};
    std::vector<std::vector<float>> bs{std::vector<float>(b, b + m * dims)};
    std::vector<std::size_t> ns{n}, ms{m};
    while (as.size() <= options.levels && std::min(ns.back(), ms.back()) >= 4 * options.radius) {
        as.push_back(halve(as.back(), ns.back(), dims));
        bs.push_back(halve(bs.back(), ms.back(), dims));
        ns.push_back((ns.back() + 1) / 2);
        ms.push_back((ms.back() + 1) / 2);
        if (!qa.empty()) qa.push_back(halve_marks(qa.back()));
        if (!qb.empty()) qb.push_back(halve_marks(qb.back()));
    }
    auto quiet_at = [&](std::size_t level) {
        Quiet q;
        q.pause_cost = quiet.pause_cost;
        q.hold_cost = quiet.hold_cost;
        if (!qa.empty()) q.a = qa[level].data();
        if (!qb.empty()) q.b = qb[level].data();
        return q;
    };
    std::size_t level = as.size() - 1;
    const std::size_t longer = std::max(ns[level], ms[level]);
    const std::size_t band = std::clamp<std::size_t>(
        static_cast<std::size_t>(std::ceil(options.band_share * static_cast<double>(longer))),
        options.min_band, std::max(options.min_band, options.max_band));
    Path path = warp_in_corridor(as[level].data(), ns[level], bs[level].data(), ms[level], dims,
                                 diagonal_band(ns[level], ms[level], band), quiet_at(level));
    while (level > 0) {
        --level;
        Corridor c = project(path, ns[level], ms[level], options.radius);
        path = warp_in_corridor(as[level].data(), ns[level], bs[level].data(), ms[level], dims, c,
                                quiet_at(level));
    }
    return path;
}

FrameMap frame_map(const Path& path, std::size_t n) {
    FrameMap f;
    f.first.assign(n, std::numeric_limits<std::uint32_t>::max());
    f.last.assign(n, 0);
    for (auto [i, j] : path) {
        if (i >= n) continue;
        f.first[i] = std::min(f.first[i], j);
        f.last[i] = std::max(f.last[i], j);
    }
    return f;
}

double FrameMap::map(double x) const {
    const std::size_t n = first.size();
    if (n == 0) return 0.0;
    if (x <= 0.0) return first[0];
    const double fl = std::floor(x);
    if (fl >= static_cast<double>(n - 1)) {
        // Past the last reference frame: move on at the reference's pace, up to its last pair.
        const double over = x - static_cast<double>(n - 1);
        return std::min<double>(first[n - 1] + over, last[n - 1] + 1.0);
    }
    const std::size_t i = static_cast<std::size_t>(fl);
    const double f = x - fl;
    return first[i] + f * (static_cast<double>(first[i + 1]) - first[i]);
}

}  // namespace vestrel::dtw
