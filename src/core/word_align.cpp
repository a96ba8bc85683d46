#include "core/word_align.hpp"

#include <algorithm>
#include <cmath>
#include <future>

#include "core/dtw_align.hpp"
#include "core/espeak.hpp"
#include "core/text.hpp"

namespace vestrel::word_align {

namespace {

// Whitespace as the host's str.split() sees it.
bool is_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20) || c == 0x85 || c == 0xA0 ||
           c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 ||
           c == 0x202F || c == 0x205F || c == 0x3000;
}

// Line breaks as the host's str.splitlines() sees them.
bool is_line_break(char32_t c) {
    return c == '\n' || c == '\r' || c == 0x0B || c == 0x0C || (c >= 0x1C && c <= 0x1E) ||
           c == 0x85 || c == 0x2028 || c == 0x2029;
}

// Letters and digits, without a Unicode table: everything but ASCII punctuation and the
// punctuation and symbol blocks that texts commonly hold.
bool is_spoken(char32_t c) {
    if (c < 0x80) return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z');
    if (c >= 0xA0 && c <= 0xBF) return false;
    if (c == 0xD7 || c == 0xF7) return false;
    if (c >= 0x2000 && c <= 0x2BFF) return false;  // punctuation, symbols, arrows, shapes
    if (c >= 0x3000 && c <= 0x303F) return false;
    if (c >= 0xFE30 && c <= 0xFE6F) return false;
    if (c >= 0xFF01 && c <= 0xFF0F) return false;
    return !is_space(c);
}

bool is_closing(char32_t c) {
    return c == '"' || c == '\'' || c == ')' || c == ']' || c == '}' || c == 0xBB || c == 0xAB ||
           c == 0x2019 || c == 0x201D || c == 0x201C || c == 0x2018 || c == 0x203A || c == 0x2039;
}

}  // namespace

std::vector<Token> tokenize(std::u32string_view text) {
    std::vector<Token> tokens;
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        Token t;
        t.begin = i;
        while (i < n && is_space(text[i])) ++i;
        t.letters = i;
        while (i < n && !is_space(text[i])) {
            if (is_spoken(text[i])) ++t.weight;
            ++i;
        }
        t.end = i;
        if (t.letters == t.end && !tokens.empty()) {
            tokens.back().end = i;  // whitespace at the end belongs to the last word
        } else {
            tokens.push_back(t);
        }
    }
    return tokens;
}

std::vector<Sentence> sentences(std::u32string_view text, const std::vector<Token>& tokens) {
    std::vector<Sentence> out;
    std::size_t first = 0;
    for (std::size_t k = 0; k < tokens.size(); ++k) {
        const Token& t = tokens[k];
        if (k > first) {
            bool broken = false;
            for (std::size_t c = t.begin; c < t.letters; ++c)
                broken = broken || is_line_break(text[c]);
            if (broken) {
                out.push_back({first, k});
                first = k;
            }
        }
        std::size_t last = t.letters < t.end ? t.end : t.letters;
        while (last > t.letters && is_space(text[last - 1])) --last;
        while (last > t.letters && is_closing(text[last - 1])) --last;
        if (last > t.letters) {
            const char32_t c = text[last - 1];
            if (c == '.' || c == '!' || c == '?') {
                out.push_back({first, k + 1});
                first = k + 1;
            }
        }
    }
    if (first < tokens.size()) out.push_back({first, tokens.size()});
    return out;
}

std::vector<std::size_t> match_events(const std::vector<Token>& tokens,
                                      const std::vector<Event>& events) {
    std::vector<std::size_t> match(tokens.size(), npos);
    if (tokens.empty() || events.empty()) return match;
    // Events in spoken order (by sample; the synthesiser's order among equal samples).
    std::vector<std::size_t> order(events.size());
    for (std::size_t e = 0; e < order.size(); ++e) order[e] = e;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) {
        return events[x].sample < events[y].sample;
    });
    // The token whose span holds each event's position.
    std::vector<std::size_t> word(order.size());
    for (std::size_t n = 0; n < order.size(); ++n) {
        const std::size_t pos = events[order[n]].char_start;
        auto it = std::upper_bound(tokens.begin(), tokens.end(), pos,
                                   [](std::size_t p, const Token& t) { return p < t.end; });
        word[n] = it == tokens.end() ? npos : static_cast<std::size_t>(it - tokens.begin());
    }
    // The longest run of events whose tokens strictly advance as the speech does: spoken
    // order and text order must agree, so a stray event (espeak-ng reports one at some
    // sentence starts with the position of an earlier word) or a second event inside one
    // word drops out. Among equal tokens the earliest event is kept.
    std::vector<std::size_t> tail;  // tail[len] = index n of the chain's last event
    std::vector<std::size_t> parent(order.size(), npos);
    for (std::size_t n = 0; n < order.size(); ++n) {
        if (word[n] == npos) continue;
        auto it = std::lower_bound(tail.begin(), tail.end(), word[n],
                                   [&](std::size_t t, std::size_t w) { return word[t] < w; });
        if (it != tail.end() && word[*it] == word[n]) continue;
        parent[n] = it == tail.begin() ? npos : *(it - 1);
        if (it == tail.end()) {
            tail.push_back(n);
        } else {
            *it = n;
        }
    }
    for (std::size_t n = tail.empty() ? npos : tail.back(); n != npos; n = parent[n])
        match[word[n]] = order[n];
    return match;
}

namespace {

constexpr double kFrameSeconds = static_cast<double>(dtw::kHop) / audio::kInternalRate;
// The shortest silence (frames) in the voice-over taken for a pause between words.
constexpr std::size_t kMinPause = 10;
// The price of passing over one pause frame of either recording, and the surcharge for
// holding a frame over the other side's speech (distances of two voices' matching speech
// frames are typically 2 to 5). Chosen on espeak-ng voice variants with pauses inserted.
constexpr float kPauseCost = 1.0f;
constexpr float kHoldCost = 1.0f;

struct Signal {
    dtw::Features features;
    float threshold = 0.0f;
    dtw::Range speech;
    bool silent(std::size_t frame) const {
        return frame >= features.frames || features.energy_db[frame] <= threshold;
    }
};

Signal analyse(const std::vector<float>& samples) {
    Signal s;
    s.features = dtw::compute_features(samples.data(), samples.size());
    s.threshold = dtw::silence_threshold_db(s.features.energy_db);
    s.speech = dtw::speech_range(s.features.energy_db, s.threshold);
    dtw::normalise(s.features, s.speech, s.threshold);
    return s;
}

// Reference start frame of every token: its event, else shared out by weight between the
// neighbouring known starts (the speech range's ends standing in at the edges).
std::vector<double> reference_starts(const std::vector<Token>& tokens, const Reference& ref,
                                     const std::vector<std::size_t>& match, dtw::Range speech) {
    const std::size_t n = tokens.size();
    std::vector<double> start(n, 0.0);
    std::vector<bool> known(n, false);
    const double frames_per_sample = 1.0 / (kFrameSeconds * ref.sample_rate);
    for (std::size_t k = 0; k < n; ++k) {
        if (match[k] != npos) {
            start[k] = ref.events[match[k]].sample * frames_per_sample;
            known[k] = true;
        }
    }
    std::size_t k = 0;
    while (k < n) {
        if (known[k]) {
            ++k;
            continue;
        }
        // Unknown run [k, j); anchored on the previous known start (or the speech begin)
        // and the next one (or the speech end).
        std::size_t j = k;
        while (j < n && !known[j]) ++j;
        const bool has_prev = k > 0;
        const std::size_t from = has_prev ? k - 1 : k;
        const double a = has_prev ? start[k - 1] : static_cast<double>(speech.begin);
        const double b = j < n ? start[j] : static_cast<double>(speech.end);
        double total = 0.0;
        for (std::size_t q = from; q < j; ++q) total += static_cast<double>(tokens[q].weight);
        double cum = 0.0;
        for (std::size_t q = from; q < j; ++q) {
            if (q >= k) start[q] = total > 0 ? a + (b - a) * cum / total : a;
            cum += static_cast<double>(tokens[q].weight);
        }
        k = j;
    }
    for (std::size_t q = 1; q < n; ++q) start[q] = std::max(start[q], start[q - 1]);
    return start;
}

// The longest run of silent frames in [from, to).
struct Run {
    std::size_t from = 0;
    std::size_t length = 0;
};
Run longest_pause(const Signal& s, std::size_t from, std::size_t to) {
    Run best;
    to = std::min(to, s.features.frames);
    for (std::size_t q = from; q < to;) {
        if (!s.silent(q)) {
            ++q;
            continue;
        }
        std::size_t r = q;
        while (r < to && s.silent(r)) ++r;
        if (r - q > best.length) best = {q, r - q};
        q = r;
    }
    return best;
}

Signal analyse_reference(const Reference& reference) {
    return analyse(audio::resample_pcm16(reference.samples.data(), reference.samples.size(),
                                         reference.sample_rate));
}

std::vector<WordTime> align_signals(const std::vector<Token>& tokens, const Reference& reference,
                                    const Signal& ref, const Signal& tgt, double duration) {
    const std::size_t n = tokens.size();
    std::vector<WordTime> out(n);
    if (n == 0) return out;
    const double duration_frames = duration / kFrameSeconds;
    if (ref.speech.size() == 0 || tgt.speech.size() == 0) {
        // Nothing to hear on one side: every word sits where the speech (if any) begins.
        const double at =
            std::min(tgt.speech.size() ? tgt.speech.begin * kFrameSeconds : 0.0, duration);
        for (auto& w : out) w = {at, at};
        return out;
    }

    const std::size_t rn = ref.speech.size(), tn = tgt.speech.size();
    auto marks = [](const Signal& s) {
        std::vector<std::uint8_t> q(s.speech.size());
        for (std::size_t i = 0; i < q.size(); ++i) q[i] = s.silent(s.speech.begin + i);
        return q;
    };
    const std::vector<std::uint8_t> rq = marks(ref), tq = marks(tgt);
    const dtw::Quiet quiet{rq.data(), tq.data(), kPauseCost, kHoldCost};
    const dtw::Path path = dtw::warp(ref.features.row(ref.speech.begin), rn,
                                     tgt.features.row(tgt.speech.begin), tn, dtw::kDims, {}, quiet);
    const dtw::FrameMap map = dtw::frame_map(path, rn);
    auto to_target = [&](double ref_frame) {
        const double local = std::clamp(ref_frame - static_cast<double>(ref.speech.begin), 0.0,
                                        static_cast<double>(rn));
        return map.map(local) + static_cast<double>(tgt.speech.begin);
    };

    const std::vector<std::size_t> match = match_events(tokens, reference.events);
    const std::vector<double> rstart = reference_starts(tokens, reference, match, ref.speech);

    // Reference ends: the next sounding word's start, moved back over the pause before it.
    std::vector<double> rend(n);
    {
        double next = static_cast<double>(ref.speech.end);
        for (std::size_t k = n; k-- > 0;) {
            double e = next;
            while (e - 1 > rstart[k] && ref.silent(static_cast<std::size_t>(e - 1))) e -= 1;
            rend[k] = std::max(e, rstart[k]);
            if (tokens[k].weight > 0 || match[k] != npos) next = rstart[k];
        }
    }

    std::vector<double> tstart(n), tend(n);
    for (std::size_t k = 0; k < n; ++k) {
        const bool sounding = tokens[k].weight > 0 || match[k] != npos;
        if (!sounding) {
            // Punctuation on its own: no time of its own, right after the word before it.
            tstart[k] = k > 0 ? tend[k - 1] : to_target(rstart[k]);
            tend[k] = tstart[k];
            continue;
        }
        double s = to_target(rstart[k]);
        double e = std::max(s, to_target(rend[k]));
        // A pause that the voice-over holds and the reference does not ends up at either side
        // of the boundary; the word starts where the voice-over sounds again, less the
        // silence the reference itself has at that word's start (a stop's closure).
        const std::size_t rs = static_cast<std::size_t>(std::max(0.0, std::round(rstart[k])));
        std::size_t ref_quiet = 0;
        while (rs + ref_quiet < ref.speech.end && ref.silent(rs + ref_quiet)) ++ref_quiet;
        std::size_t f = static_cast<std::size_t>(std::max(0.0, std::round(s)));
        // A pause only the voice-over makes lands inside some word's span (the path may hold
        // any frame of the reference across it). Voices pause between words, not inside
        // them: the word starts after such a pause when most of its speech follows it, and
        // ends before it otherwise.
        {
            const std::size_t hi = static_cast<std::size_t>(std::max(0.0, std::round(e)));
            const Run pause = longest_pause(tgt, f, hi);
            // The reference word's own longest pause (a stop's closure, a comma).
            const Run own = longest_pause(ref, static_cast<std::size_t>(std::max(0.0, rstart[k])),
                                          static_cast<std::size_t>(std::max(0.0, rend[k])));
            if (pause.length >= kMinPause && pause.length > own.length + kMinPause / 2) {
                std::size_t before = 0, after = 0;
                for (std::size_t q = f; q < pause.from; ++q) before += !tgt.silent(q);
                for (std::size_t q = pause.from + pause.length; q < hi; ++q)
                    after += !tgt.silent(q);
                if (before <= after) {
                    const std::size_t onset = pause.from + pause.length;
                    f = onset > ref_quiet ? onset - ref_quiet : 0;
                    s = std::max(s, static_cast<double>(f));
                } else {
                    e = std::max(s, static_cast<double>(pause.from));
                }
            }
        }
        if (tgt.silent(f)) {
            std::size_t onset = f;
            while (onset < tgt.speech.end && onset < e && tgt.silent(onset)) ++onset;
            if (onset < e && onset > f + ref_quiet) s = static_cast<double>(onset - ref_quiet);
        }
        // And it ends where the voice-over last sounds before its mapped end.
        std::size_t last = static_cast<std::size_t>(std::max(0.0, std::round(e)));
        while (last > 0 && static_cast<double>(last - 1) > s && tgt.silent(last - 1)) --last;
        e = std::max(s, std::min(e, static_cast<double>(last)));
        tstart[k] = s;
        tend[k] = e;
    }

    // The contract: starts never go back, a word ends by the next one's start, all inside the
    // audio; times to the millisecond.
    auto seconds = [&](double frames) {
        const double t = std::clamp(frames, 0.0, duration_frames) * kFrameSeconds;
        return std::min(std::round(t * 1000.0) / 1000.0, duration);
    };
    double floor_start = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        out[k].start = std::max(seconds(tstart[k]), floor_start);
        out[k].end = std::max(seconds(tend[k]), out[k].start);
        floor_start = out[k].start;
    }
    for (std::size_t k = 0; k + 1 < n; ++k) out[k].end = std::min(out[k].end, out[k + 1].start);
    return out;
}

}  // namespace

std::vector<WordTime> align_tokens(const std::vector<Token>& tokens, const Reference& reference,
                                   const audio::Decoded& voice_over) {
    if (tokens.empty()) return {};
    return align_signals(tokens, reference, analyse_reference(reference),
                         analyse(voice_over.samples), voice_over.duration);
}

Alignment align_text(const std::string& audio_path, std::u32string_view text,
                     const std::string& language) {
    Alignment out;
    out.tokens = tokenize(text);
    out.sentences = sentences(text, out.tokens);
    espeak::Options options;
    options.voice = espeak::voice_for_language(language);
    // The reference is spoken and analysed while the voice-over is decoded and analysed:
    // the two halves share nothing until the warp.
    Reference reference;
    auto spoken = std::async(std::launch::async, [&]() {
        espeak::Speech speech = espeak::synthesize(text::encode(text), options);
        reference.sample_rate = speech.sample_rate;
        reference.samples = std::move(speech.samples);
        reference.events.reserve(speech.words.size());
        for (const auto& w : speech.words) reference.events.push_back({w.char_start, w.sample});
        Signal analysed = analyse_reference(reference);
        std::vector<std::int16_t>().swap(reference.samples);  // only the events are needed now
        return analysed;
    });
    Signal target;
    try {
        const audio::Decoded voice_over = audio::decode_file(audio_path);
        out.duration = voice_over.duration;
        target = analyse(voice_over.samples);
    } catch (...) {
        spoken.wait();  // the synthesis thread must not outlive `reference`
        throw;
    }
    const Signal ref = spoken.get();
    out.times = align_signals(out.tokens, reference, ref, target, out.duration);
    return out;
}

}  // namespace vestrel::word_align
