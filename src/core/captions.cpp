#include "core/captions.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <stdexcept>

namespace vestrel::captions {

namespace {

// The bytes the sentence test looks at: 1 for ".", "!" and "?", 2 for "<".
constexpr auto kMarks = [] {
    struct Table {
        unsigned char v[256] = {};
    } t;
    t.v[static_cast<unsigned char>('.')] = 1;
    t.v[static_cast<unsigned char>('!')] = 1;
    t.v[static_cast<unsigned char>('?')] = 1;
    t.v[static_cast<unsigned char>('<')] = 2;
    return t;
}();

}  // namespace

bool ends_sentence(std::string_view text) {
    // ASCII marks never occur inside a multi-byte UTF-8 sequence, so bytes can be searched.
    unsigned char seen = 0;
    for (char c : text) {
        const unsigned char m = kMarks.v[static_cast<unsigned char>(c)];
        if (m == 1) return true;
        seen |= m;
    }
    return seen && text.find(kSplitMark) != std::string_view::npos;
}

std::string remove_split(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    size_t pos = 0;
    for (;;) {
        size_t hit = text.find(kSplitMark, pos);
        if (hit == std::string_view::npos) break;
        out.append(text.substr(pos, hit - pos));
        pos = hit + kSplitMark.size();
    }
    out.append(text.substr(pos));
    return out;
}

size_t length(std::string_view utf8) {
    size_t n = 0;
    for (unsigned char c : utf8) n += (c & 0xC0) != 0x80;
    return n;
}

namespace {

// The sentence cut over `n` positions of `objects` objects: text_at(i) is the text of the
// object at position i as it is before the cut, object_at(i) its number.
template <class TextAt, class ObjectAt>
SentenceCut cut_positions(size_t n, size_t objects, TextAt text_at, ObjectAt object_at) {
    SentenceCut cut;
    // An object's text differs from its text before the cut only after a write that removed
    // "<split>", and only a later visit of the same object can see that. Repeated objects
    // are rare, so the texts are not copied: `changes` lists (object, write) for every
    // removal, and a table of each object's latest change is made only when a repeated
    // object is met.
    std::vector<bool> seen(objects, false);
    std::vector<std::pair<size_t, size_t>> changes;
    std::vector<size_t> latest;  // per object: index of its latest changing write + 1, or 0
    for (size_t i = 0; i < n; ++i) {
        const size_t k = object_at(i);
        std::string_view text = text_at(i);
        if (seen[k]) {
            if (latest.empty() && !changes.empty()) {
                latest.assign(objects, 0);
                for (const auto& [object, write] : changes) latest[object] = write + 1;
            }
            if (!latest.empty() && latest[k]) text = cut.writes[latest[k] - 1].text;
        } else {
            seen[k] = true;
        }
        if (!ends_sentence(text)) continue;
        if (text.find(kSplitMark) == std::string_view::npos) {
            cut.writes.push_back({i, false, {}});
        } else {
            std::string cleaned = remove_split(text);
            cut.writes.push_back({i, true, std::move(cleaned)});
            const size_t write = cut.writes.size() - 1;
            if (latest.empty())
                changes.emplace_back(k, write);
            else
                latest[k] = write + 1;
        }
        cut.ends.push_back(i + 1);
    }
    if (n && (cut.ends.empty() || cut.ends.back() != n)) cut.ends.push_back(n);
    return cut;
}

}  // namespace

SentenceCut cut_sentences(std::span<const std::string_view> object_texts,
                          std::span<const size_t> object_of) {
    return cut_positions(
        object_of.size(), object_texts.size(),
        [&](size_t i) { return object_texts[object_of[i]]; }, [&](size_t i) { return object_of[i]; });
}

SentenceCut cut_sentences(std::span<const TimedWord> words, size_t object_count) {
    return cut_positions(
        words.size(), object_count, [&](size_t i) { return words[i].text; },
        [&](size_t i) { return words[i].object; });
}

std::optional<size_t> find_greatest_pause(std::span<const double> ends,
                                          const std::function<double(size_t)>& start_of) {
    std::vector<TimedWord> words(ends.size());
    for (size_t i = 0; i < ends.size(); ++i) words[i].end = ends[i];
    if (ends.size() >= 2) {
        const auto first = static_cast<size_t>(std::min_element(ends.begin(), ends.end()) -
                                               ends.begin());
        for (size_t i = 0; i < ends.size(); ++i)
            if (i != first) words[i].start = start_of(i);
    }
    return find_greatest_pause(std::span<const TimedWord>(words));
}

std::optional<size_t> find_greatest_pause(std::span<const TimedWord> words) {
    const size_t n = words.size();
    if (n < 2) return std::nullopt;
    constexpr size_t kNone = SIZE_MAX;
    double greatest = 0.0;
    size_t found = kNone;
    // Words usually arrive in order of their end times: then the input order is the sorted
    // order and no sort (nor allocation) is needed.
    size_t i = 0;
    for (; i + 1 < n && words[i].end <= words[i + 1].end; ++i) {
        const double pause = words[i + 1].start - words[i].end;
        if (pause > greatest) {
            greatest = pause;
            found = i;
        }
    }
    if (i + 1 == n) return found == kNone ? std::nullopt : std::optional<size_t>(found);

    auto by_end = [&](size_t a, size_t b) { return words[a].end < words[b].end; };
    std::vector<size_t> order(n);
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(), by_end);
    greatest = 0.0;
    found = kNone;
    for (i = 0; i + 1 < n; ++i) {
        const double pause = words[order[i + 1]].start - words[order[i]].end;
        if (pause > greatest) {
            greatest = pause;
            found = order[i];
        }
    }
    return found == kNone ? std::nullopt : std::optional<size_t>(found);
}

namespace {

bool same_word(const TimedWord& a, const TimedWord& b) {
    return a.object == b.object || (a.start == b.start && a.end == b.end && a.text == b.text);
}

bool is_connector(std::string_view text) {
    for (std::string_view c : kConnectors)
        if (text == c) return true;
    return false;
}

// Where the segment [begin, end) of at least two words is cut: the first word of its
// second part.
size_t cut_point(std::span<const TimedWord> words, size_t begin, size_t end,
                 const PauseFinder* find_pause) {
    const size_t n = end - begin;
    std::optional<size_t> at;
    if (find_pause) {
        at = (*find_pause)(begin, end);
    } else if (auto pause = find_greatest_pause(words.subspan(begin, n))) {
        // The pause word is searched in segment order; an equal word may come first.
        const TimedWord& target = words[begin + *pause];
        at = begin;
        while (!same_word(words[*at], target)) ++*at;
    }
    // When the pause word is the last word, cutting after it would keep the whole segment.
    if (at && *at + 1 < end) return *at + 1;
    for (size_t at = begin; at + 1 < end; ++at)
        if (is_connector(words[at].text)) return at + 1;
    return begin + n / 2;
}

}  // namespace

std::vector<Line> split_lines(std::span<const TimedWord> words,
                              std::span<const size_t> sentence_ends, int64_t max_line_length,
                              std::span<const size_t> lengths,
                              const PauseFinder* find_pause) {
    std::vector<int64_t> prefix;
    prefix.reserve(words.size() + 1);
    prefix.push_back(0);
    if (lengths.size() == words.size()) {
        for (size_t i = 0; i < words.size(); ++i)
            prefix.push_back(prefix.back() + static_cast<int64_t>(lengths[i]));
    } else {
        for (size_t i = 0; i < words.size(); ++i)
            prefix.push_back(prefix.back() + static_cast<int64_t>(length(words[i].text)));
    }

    std::vector<Line> lines;
    std::vector<Line> pending;  // segments still to split, the next one on top
    size_t begin = 0;
    for (size_t end : sentence_ends) {
        pending.push_back({begin, end});
        while (!pending.empty()) {
            Line seg = pending.back();
            pending.pop_back();
            const size_t n = seg.end - seg.begin;
            if (n == 0) continue;
            if (prefix[seg.end] - prefix[seg.begin] <= max_line_length || n == 1) {
                lines.push_back(seg);
                continue;
            }
            const size_t at = cut_point(words, seg.begin, seg.end, find_pause);
            pending.push_back({at, seg.end});
            pending.push_back({seg.begin, at});
        }
        begin = end;
    }
    return lines;
}

int64_t line_limit(double limit) {
    if (std::isnan(limit) || limit <= -9.2e18) return INT64_MIN;
    if (limit >= 9.2e18) return INT64_MAX;
    return static_cast<int64_t>(std::floor(limit));
}

bool closes_gap(double end, double next_start) { return end - next_start < 0.5; }

std::vector<size_t> number_by_first_appearance(std::span<const uintptr_t> keys) {
    // An open-addressing table keyed by the key (a word list has a few thousand entries at
    // most; cheaper than a node-based map). A slot holds one more than the position of a
    // key's first appearance (0: empty), so the table stays four bytes a slot; positions past
    // that range would not fit in memory long before.
    const size_t n = keys.size();
    if (n >= UINT32_MAX) throw std::length_error("too many keys");
    size_t cap = 16;
    while (cap < 2 * n) cap <<= 1;
    std::vector<uint32_t> slots(cap, 0);
    std::vector<size_t> numbers;
    numbers.reserve(n);
    size_t distinct = 0;
    for (size_t i = 0; i < n; ++i) {
        const uintptr_t key = keys[i];
        const size_t h = static_cast<size_t>((key >> 4) * 0x9E3779B97F4A7C15ull);
        for (size_t s = (h >> 20) & (cap - 1);; s = (s + 1) & (cap - 1)) {
            if (!slots[s]) {
                slots[s] = static_cast<uint32_t>(i + 1);
                numbers.push_back(distinct++);
                break;
            }
            if (keys[slots[s] - 1] == key) {
                numbers.push_back(numbers[slots[s] - 1]);
                break;
            }
        }
    }
    return numbers;
}

}  // namespace vestrel::captions
