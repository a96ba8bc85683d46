#include "core/alignment.hpp"

#include "core/commands.hpp"

namespace vestrel::alignment {

void update_at(std::u32string& word, std::size_t offset, std::u32string_view replacement) {
    word.replace(offset, 1, replacement);
}

void insert_at(std::u32string& word, std::size_t offset, std::u32string_view inserted) {
    word.insert(offset, inserted);
}

char32_t pop_at(std::u32string& word, std::size_t offset) {
    const char32_t c = word[offset];
    word.erase(offset, 1);
    return c;
}

SpokenEnds spoken_ends(std::u32string_view script) {
    SpokenEnds ends;
    commands::scan(script, commands::Rule::Removal,
                   [&](std::size_t begin, std::size_t end, bool command) {
                       if (command) return true;
                       if (!ends.first) ends.first = script[begin];
                       ends.last = script[end - 1];
                       return true;
                   });
    return ends;
}

bool is_space(char32_t c) {
    switch (c) {
        case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D:
        case 0x1C: case 0x1D: case 0x1E: case 0x1F: case 0x20:
        case 0x85: case 0xA0: case 0x1680:
        case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
            return true;
        default:
            return c >= 0x2000 && c <= 0x200A;
    }
}

void normalise(std::u32string& first, std::u32string& last, std::u32string_view script) {
    const SpokenEnds spoken = spoken_ends(script);
    if (!first.empty() && first.front() == U' ' && spoken.first != U' ') first.erase(0, 1);
    // Read after the first trim: with one word, both act on the same text.
    if (!last.empty() && last.back() == U' ' && spoken.last != U' ') last.pop_back();
}

namespace {

// The transcript as the per-character rule sees it after every step: the words before the
// cursor are final, the cursor's word is `out` (what has been matched or inserted so far)
// followed by the unread rest of its original text, and the words after it are untouched.
// A word is rebuilt only once something is inserted into it.
class Cursor {
public:
    explicit Cursor(std::vector<std::u32string>& words) : words_(words) {}

    // Moves to the word holding the next unread character: past finished and empty words.
    // False when every character has been read.
    bool settle() {
        while (k_ < words_.size() && read_ == words_[k_].size()) {
            finish();
            ++k_;
            read_ = 0;
        }
        return k_ < words_.size();
    }

    char32_t next() const { return words_[k_][read_]; }

    void insert(char32_t c) {
        if (!dirty_) {
            out_.assign(words_[k_], 0, read_);
            dirty_ = true;
        }
        out_.push_back(c);
    }

    void consume() {
        if (dirty_) out_.push_back(words_[k_][read_]);
        ++read_;
    }

    // Writes the cursor's word back (its unread rest unchanged).
    void finish() {
        if (!dirty_) return;
        out_.append(words_[k_], read_, std::u32string::npos);
        read_ = out_.size();
        words_[k_].swap(out_);
        out_.clear();
        dirty_ = false;
        mark(k_);
    }

    void mark(std::size_t k) {
        if (changed_.empty() || changed_.back() < k) changed_.push_back(k);
    }

    std::vector<std::size_t> take_changed() { return std::move(changed_); }

private:
    std::vector<std::u32string>& words_;
    std::size_t k_ = 0;     // the cursor's word
    std::size_t read_ = 0;  // characters of its original text read so far
    std::u32string out_;
    bool dirty_ = false;
    std::vector<std::size_t> changed_;
};

}  // namespace

Reinsertion reinsert_commands(std::vector<std::u32string>& words, std::u32string_view script) {
    Reinsertion result;
    Cursor cursor(words);
    // One script character; false ends the walk with the status set.
    auto step = [&](char32_t c, bool command) {
        const bool more = cursor.settle();
        if (command) {
            if (more) {
                cursor.insert(c);
            } else if (words.empty()) {
                result.status = Reinsertion::Status::NoWordForCommand;
                return false;
            } else {
                // No spoken character follows: the command closes the last word. Every word
                // is final here, so the last one is changed directly.
                words.back().push_back(c);
                cursor.mark(words.size() - 1);
            }
            return true;
        }
        if (!more) {
            if (!is_space(c) || words.empty()) {
                result.status = Reinsertion::Status::PastEnd;
                return false;
            }
            // The transcript ran out at a space the script goes on with: it joins the last
            // word, as a trailing command does, so the words still join to the script.
            words.back().push_back(c);
            cursor.mark(words.size() - 1);
            return true;
        }
        if (cursor.next() != c) {
            result.status = Reinsertion::Status::Mismatch;
            result.script_char = c;
            result.transcript_char = cursor.next();
            return false;
        }
        cursor.consume();
        return true;
    };
    commands::scan(script, commands::Rule::Alignment,
                   [&](std::size_t begin, std::size_t end, bool command) {
                       for (std::size_t i = begin; i < end; ++i)
                           if (!step(script[i], command)) return false;
                       return true;
                   });
    cursor.settle();
    cursor.finish();
    result.changed = cursor.take_changed();
    return result;
}

SceneSplit split_by_scenes(const std::vector<std::u32string>& words,
                           const std::vector<std::u32string>& scenes) {
    SceneSplit result;
    const std::size_t n = words.size();
    std::size_t word_index = 0;      // the word being counted
    std::size_t current_length = 0;  // characters of it read so far
    // Reading position in the joined text: word `rk`, offset `ro` (advanced past empty and
    // finished words before each read).
    std::size_t rk = 0, ro = 0;

    // Hands over the word being counted, and the empty words right after it.
    auto hand_over = [&](std::vector<std::size_t>& scene) {
        scene.push_back(word_index++);
        while (word_index < n && words[word_index].empty()) scene.push_back(word_index++);
        current_length = 0;
    };

    result.scenes.reserve(scenes.size());
    for (const std::u32string& scene : scenes) {
        result.scenes.emplace_back();
        for (const char32_t c : scene) {
            while (rk < n && ro == words[rk].size()) {
                ++rk;
                ro = 0;
            }
            if (rk == n) {
                result.status = SceneSplit::Status::PastEnd;
                result.scenes.clear();
                return result;
            }
            if (c != words[rk][ro]) {
                result.status = SceneSplit::Status::Mismatch;
                result.scene_char = c;
                result.transcript_char = words[rk][ro];
                result.scenes.clear();
                return result;
            }
            // word_index < n here: the word being read is at or after it.
            if (current_length == words[word_index].size()) hand_over(result.scenes.back());
            ++current_length;
            ++ro;
        }
    }
    if (n == 0) {
        result.status = SceneSplit::Status::NoWords;
        result.scenes.clear();
        return result;
    }
    // With no scene there is nobody to hand the last word to.
    if (!result.scenes.empty() && word_index < n && current_length == words[word_index].size())
        hand_over(result.scenes.back());
    return result;
}

}  // namespace vestrel::alignment
