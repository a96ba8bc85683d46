#include "core/frames.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <numeric>

namespace vestrel::frames {

int64_t round_half_even(double x) {
    if (std::isnan(x)) throw FrameError(FrameError::Kind::NotANumber, "cannot convert float NaN to integer");
    // Beyond 2^63 no int64 holds the value; report it as the host reports infinity.
    if (std::isinf(x) || std::fabs(x) >= 9223372036854775808.0)
        throw FrameError(FrameError::Kind::Infinite,
                         "cannot convert float infinity to integer");
    const double f = std::floor(x);
    const double diff = x - f;  // exact for every double below 2^52
    double r;
    if (diff > 0.5) {
        r = f + 1.0;
    } else if (diff < 0.5) {
        r = f;
    } else {
        r = std::fmod(f, 2.0) == 0.0 ? f : f + 1.0;
    }
    return static_cast<int64_t>(r);
}

Placement place(double start_time, double duration, double timeline_fps, double clip_fps,
                int64_t timeline_start) {
    Placement p{};
    p.record_frame = timeline_start + round_half_even(start_time * timeline_fps);
    p.wanted_end = timeline_start + round_half_even((start_time + duration) * timeline_fps);
    p.length = p.wanted_end - p.record_frame;
    if (timeline_fps == 0.0) throw FrameError(FrameError::Kind::DivisionByZero, "division by zero");
    // Division before multiplication, as the seconds of the clip are what is converted.
    const double seconds = static_cast<double>(p.length) / timeline_fps;
    p.last_clip_frame = round_half_even(seconds * clip_fps) - 1;
    return p;
}

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Length of the decimal number at the start of s (sign, digits, point, exponent), 0 if none.
size_t number_span(std::string_view s, bool with_exponent) {
    size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    size_t digits = 0;
    while (i < s.size() && is_digit(s[i])) ++i, ++digits;
    if (i < s.size() && s[i] == '.') {
        size_t j = i + 1, frac = 0;
        while (j < s.size() && is_digit(s[j])) ++j, ++frac;
        if (digits + frac > 0) {
            i = j;
            digits += frac;
        }
    }
    if (digits == 0) return 0;
    if (with_exponent && i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        size_t j = i + 1;
        if (j < s.size() && (s[j] == '+' || s[j] == '-')) ++j;
        size_t exp_digits = 0;
        while (j < s.size() && is_digit(s[j])) ++j, ++exp_digits;
        if (exp_digits > 0) i = j;
    }
    return i;
}

std::string_view skip_blanks(std::string_view s) {
    size_t i = 0;
    while (i < s.size() && is_blank(s[i])) ++i;
    return s.substr(i);
}

}  // namespace

std::optional<double> leading_number(std::string_view text) {
    std::string_view s = skip_blanks(text);
    const size_t n = number_span(s, true);
    if (n == 0) return std::nullopt;
    // from_chars takes no leading '+'.
    std::string_view num = s.substr(0, n);
    bool negative = false;
    if (num.front() == '+' || num.front() == '-') {
        negative = num.front() == '-';
        num.remove_prefix(1);
    }
    double v = 0.0;
    auto res = std::from_chars(num.data(), num.data() + num.size(), v);
    if (res.ec == std::errc::result_out_of_range) {
        v = std::strtod(std::string(num).c_str(), nullptr);
    } else if (res.ec != std::errc()) {
        return std::nullopt;
    }
    return negative ? -v : v;
}

Rational make_rational(int64_t num, int64_t den) {
    if (den < 0) num = -num, den = -den;
    const int64_t g = std::gcd(num, den);
    if (g > 1) num /= g, den /= g;
    return {num, den};
}

std::optional<Rational> rate_from_text(std::string_view text) {
    std::string_view s = skip_blanks(text);
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    const size_t n = number_span(s, false);
    if (n == 0 || s.front() == '-') return std::nullopt;
    // Digits before and after the point, kept exact (at most nine decimals).
    int64_t num = 0, den = 1;
    size_t i = 0;
    for (; i < n && is_digit(s[i]); ++i) {
        if (num > 100000000000LL) return std::nullopt;
        num = num * 10 + (s[i] - '0');
    }
    if (i < n && s[i] == '.') {
        ++i;
        for (int k = 0; i < n && k < 9; ++i, ++k) {
            num = num * 10 + (s[i] - '0');
            den *= 10;
        }
    }
    if (num <= 0) return std::nullopt;
    Rational r = make_rational(num, den);
    if (r.den != 1) {
        // Broadcast rates are n*1000/1001 with n a multiple of 6 (24, 30, 48, 60, 120).
        const double v = r.value();
        const double k = std::round(v * 1.001);
        if (k >= 6.0 && std::fmod(k, 6.0) == 0.0 && std::fabs(k * 1000.0 / 1001.0 - v) < 0.005)
            return make_rational(static_cast<int64_t>(k) * 1000, 1001);
    }
    return r;
}

std::string rate_text(Rational r) {
    if (r.den == 1) return std::to_string(r.num);
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, r.value(), std::chars_format::fixed, 3);
    std::string s(buf, res.ptr);
    while (!s.empty() && s.back() == '0') s.pop_back();
    if (!s.empty() && s.back() == '.') s.pop_back();
    return s;
}

int64_t one_hour_frames(Rational r) {
    const int64_t base = (r.num + r.den - 1) / r.den;
    return base * 3600;
}

int64_t to_timeline_frames(int64_t source_frames, Rational clip_rate, Rational timeline_rate) {
    const __int128 n = static_cast<__int128>(source_frames) * clip_rate.den * timeline_rate.num;
    const __int128 d = static_cast<__int128>(clip_rate.num) * timeline_rate.den;
    __int128 q = n / d;
    if ((n % d != 0) && ((n < 0) != (d < 0))) --q;  // floor, also below zero
    return static_cast<int64_t>(q);
}

}  // namespace vestrel::frames
