// Captions: the record, and its construction from timed words. The sentence cut and the
// line split run in the core over the words' texts and times; this file reads the words,
// writes the cleaned texts back and builds the records.
#include <array>
#include <climits>
#include <cstdint>
#include <cstring>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "bindings/captions/parts.hpp"
#include "bindings/common/pyutil.hpp"
#include "bindings/common/record.hpp"
#include "core/captions.hpp"

namespace vestrel::bind::captions {

namespace core = vestrel::captions;

namespace {

// A text as UTF-8 for the core, viewing the str's own UTF-8 buffer (valid while the str
// lives). Texts with lone surrogates (which strict UTF-8 refuses) are encoded with
// surrogatepass into `owned`, which keeps them distinct and one code point each.
std::string_view text_utf8(nb::handle text, std::deque<std::string>& owned) {
    PyObject* t = text.ptr();
    Py_ssize_t n = 0;  // a str's own UTF-8 (an ASCII str's is its data), cached by the str
    const char* p = PyUnicode_Check(t) ? PyUnicode_AsUTF8AndSize(t, &n) : nullptr;
    if (p) return std::string_view(p, static_cast<size_t>(n));
    if (!PyUnicode_Check(t)) {
        // The sentence test looks for "<split>" in the text first: a value that holds nothing
        // fails there as the host's `in` fails.
        nb::str mark("<split>");
        if (PySequence_Contains(t, mark.ptr()) < 0) throw nb::python_error();
        PyErr_Format(PyExc_TypeError, "expected str, got %.200s", Py_TYPE(t)->tp_name);
        throw nb::python_error();
    }
    PyErr_Clear();
    nb::object b = checked(PyUnicode_AsEncodedString(t, "utf-8", "surrogatepass"));
    return owned.emplace_back(PyBytes_AS_STRING(b.ptr()),
                              static_cast<size_t>(PyBytes_GET_SIZE(b.ptr())));
}

// The line length limit as the core takes it: length <= limit as the host compares an int
// length with `value` (for integer lengths, floor of a real limit; no length fits NaN).
int64_t line_limit(nb::handle value) {
    PyObject* v = value.ptr();
    if (!PyFloat_Check(v) && PyIndex_Check(v)) {  // an int, or a value standing for one
        nb::object n = checked(PyNumber_Index(v));
        int overflow = 0;
        const long long limit = PyLong_AsLongLongAndOverflow(n.ptr(), &overflow);
        return overflow ? (overflow > 0 ? INT64_MAX : INT64_MIN) : limit;
    }
    // Any other limit that is no float: a length compared with it raises what the host raises
    // for a value no int compares with (text, None, ...).
    nb::object zero = nb::int_(0);
    if (!PyFloat_Check(v) && PyObject_RichCompareBool(zero.ptr(), v, Py_LE) < 0)
        throw nb::python_error();
    return core::line_limit(seconds(value));
}

// The field values of one word's record in field order (start, end, text).
using Row = std::array<PyObject*, 3>;

// Pauses the cyclic garbage collector for a scope, when it was running.
struct GcPause {
    int was_enabled = PyGC_Disable();
    ~GcPause() {
        if (was_enabled) PyGC_Enable();
    }
};

// The words of one call as read from the input objects. Filled in order (reserved, not
// zeroed first: fresh scratch memory is dear on this path): the core's words, each word's
// record field values (start, end, text; owned references) and its text's length in code
// points (the str length: a lone surrogate is one either way).
struct WordTable {
    nb::object items;  // our own tuple of the words (they stay alive: addresses identify them)
    PyObject** item = nullptr;
    size_t count = 0;
    std::vector<nb::object> object_text;  // text of each distinct object before the cut
    std::vector<char> written;            // whether the cut wrote object k's text back
    std::deque<std::string> owned;
    std::vector<core::TimedWord> words;
    std::vector<Row> fields;
    std::vector<size_t> lengths;

    WordTable() = default;
    WordTable(const WordTable&) = delete;
    ~WordTable() {
        for (auto& row : fields)
            for (PyObject* value : row) Py_XDECREF(value);
    }

    // The words of positions [begin, end) as a new list.
    nb::list list(size_t begin, size_t end) const {
        nb::list out;
        for (size_t i = begin; i < end; ++i) out.append(nb::handle(item[i]));
        return out;
    }
};

// The texts alone, before any time is read: every "<split>" is removed from the input words
// first, so a word without a start or an end fails with the texts already written. The same
// word object may be listed twice and the sentence cut must see its own writes: objects are
// numbered by first appearance, and each word's text is its object's.
void read_texts(WordTable& t, nb::handle list_of_words) {
    // Our own tuple: attribute reads may run Python code that changes the caller's list.
    t.items = PyTuple_CheckExact(list_of_words.ptr())
                  ? nb::borrow(list_of_words)
                  : checked(PySequence_Tuple(list_of_words.ptr()));
    t.count = static_cast<size_t>(PyTuple_GET_SIZE(t.items.ptr()));
    t.item = PySequence_Fast_ITEMS(t.items.ptr());
    std::vector<uintptr_t> keys(t.count);
    for (size_t i = 0; i < t.count; ++i) keys[i] = reinterpret_cast<uintptr_t>(t.item[i]);
    const std::vector<size_t> object_of = core::number_by_first_appearance(keys);
    t.words.reserve(t.count);
    t.object_text.reserve(t.count);
    for (size_t i = 0; i < t.count; ++i) {
        const size_t k = object_of[i];
        if (k == t.object_text.size())
            t.object_text.push_back(nb::steal(get_field(t.item[i], kText)));
        t.words.push_back({text_utf8(t.object_text[k], t.owned), 0.0, 0.0, k});
    }
}

// The cut's cleaned texts written back to the words that end a sentence.
void write_back(WordTable& t, const core::SentenceCut& cut) {
    t.written.assign(t.object_text.size(), 0);
    for (const auto& w : cut.writes) {
        const size_t k = t.words[w.position].object;
        nb::object& text = t.object_text[k];
        if (w.changed) {
            const auto size = static_cast<Py_ssize_t>(w.text.size());
            text = checked(PyUnicode_DecodeUTF8(w.text.data(), size, "surrogatepass"));
        }
        if (PyObject_SetAttr(t.item[w.position], field_name[kText], text.ptr()) < 0)
            throw nb::python_error();
        t.written[k] = 1;
    }
}

// Then the times, and the texts as they are now, for the split and the records: a text
// written back is read again at every position of its word (the word decides what it
// keeps), the others stay as read before.
void read_times(WordTable& t) {
    t.fields.reserve(t.count);
    t.lengths.reserve(t.count);
    for (size_t i = 0; i < t.count; ++i) {
        core::TimedWord& word = t.words[i];
        Row& row = t.fields.emplace_back(Row{});
        row[kStart] = get_field(t.item[i], kStart);
        row[kEnd] = get_field(t.item[i], kEnd);
        if (t.written[word.object]) {
            row[kText] = get_field(t.item[i], kText);
            word.text = text_utf8(row[kText], t.owned);
        } else {
            row[kText] = Py_NewRef(t.object_text[word.object].ptr());
        }
        t.lengths.push_back(static_cast<size_t>(PyUnicode_GET_LENGTH(row[kText])));
        word.start = seconds(row[kStart]);
        word.end = seconds(row[kEnd]);
    }
}

// The lines of the words, found in the core. find_greatest_pause is read at call time: a
// replacement is called for every segment split, and the cut falls after the first word
// equal to what it returns.
std::vector<core::Line> split(const WordTable& t, const core::SentenceCut& cut, int64_t limit) {
    nb::object pause_fn = this_module.attr("find_greatest_pause");
    core::PauseFinder find_pause = [&](size_t begin, size_t end) -> std::optional<size_t> {
        nb::object found = pause_fn(t.list(begin, end));
        if (found.is_none()) return std::nullopt;
        for (size_t i = begin; i < end; ++i) {
            const int equal = PyObject_RichCompareBool(t.item[i], found.ptr(), Py_EQ);
            if (equal < 0) throw nb::python_error();
            if (equal) return i;
        }
        return std::nullopt;
    };
    const bool own_pause = pause_fn.ptr() == own.find_greatest_pause;
    return core::split_lines(t.words, cut.ends, limit, t.lengths,
                             own_pause ? nullptr : &find_pause);
}

// The texts of a line's words joined as "".join joins them: a single exact str is returned
// itself, otherwise a new str of the narrowest kind that holds every character, copied with
// memcpy where the kinds agree (the common case). Hundreds of lines are joined per call:
// the host's join would first need a tuple of the texts for each.
nb::object join_texts(std::span<const Row> rows) {
    if (rows.size() == 1 && PyUnicode_CheckExact(rows[0][kText])) return nb::borrow(rows[0][kText]);
    Py_ssize_t length = 0;
    Py_UCS4 maxchar = 0;
    for (const Row& r : rows) {
        length += PyUnicode_GET_LENGTH(r[kText]);
        maxchar = std::max(maxchar, static_cast<Py_UCS4>(PyUnicode_MAX_CHAR_VALUE(r[kText])));
    }
    nb::object out = checked(PyUnicode_New(length, maxchar));
    const int kind = PyUnicode_KIND(out.ptr());
    char* data = static_cast<char*>(PyUnicode_DATA(out.ptr()));
    Py_ssize_t at = 0;
    for (const Row& r : rows) {
        PyObject* t = r[kText];
        const Py_ssize_t n = PyUnicode_GET_LENGTH(t);
        if (PyUnicode_KIND(t) == kind) {
            if (n) std::memcpy(data + at * kind, PyUnicode_DATA(t), static_cast<size_t>(n) * kind);
        } else if (PyUnicode_CopyCharacters(out.ptr(), at, t, 0, n) < 0) {
            throw nb::python_error();
        }
        at += n;
    }
    return out;
}

// The line records: built here from the values read, as CaptionWord's and CaptionLine's own
// create_by_transcription would build them.
nb::object build_lines(const WordTable& t, const std::vector<core::Line>& parts) {
    const nb::object word_cls = this_module.attr("CaptionWord"),
                     line_cls = this_module.attr("CaptionLine");
    const RecordMaker word_maker{word_cls.ptr(), 3}, line_maker{line_cls.ptr(), 4};
    nb::object lines = checked(PyList_New(static_cast<Py_ssize_t>(parts.size())));
    for (size_t p = 0; p < parts.size(); ++p) {
        const Py_ssize_t size = static_cast<Py_ssize_t>(parts[p].end - parts[p].begin);
        nb::object words = checked(PyList_New(size));
        const auto* row = t.fields.data() + parts[p].begin;
        for (Py_ssize_t j = 0; j < size; ++j)
            PyList_SET_ITEM(words.ptr(), j, word_maker.make(row[j].data()));
        nb::object text = join_texts({row, static_cast<size_t>(size)});
        PyObject* values[] = {row[0][kStart], row[size - 1][kEnd], text.ptr(), words.ptr()};
        PyList_SET_ITEM(lines.ptr(), static_cast<Py_ssize_t>(p), line_maker.make(values));
    }
    return lines;
}

nb::object create_by_transcription(const Args& a) {
    // The limit as given (the words' own types are unchecked, as are these); it is first
    // compared with a length once there are words.
    const nb::object limit = this_module.attr("Captions").attr("calculate_max_line_length")(
        a["frame_width"], a["font"], a["fontsize"], a["chars_per_line"]);
    WordTable t;
    read_texts(t, a["list_of_words"]);
    const core::SentenceCut cut = core::cut_sentences(t.words, t.object_text.size());
    write_back(t, cut);
    read_times(t);
    const std::vector<core::Line> parts = split(t, cut, t.count ? line_limit(limit) : 0);

    // The lines as CaptionLine.create_by_transcription makes them, read at call time; when
    // it or CaptionWord's is not ours, it is called with each line's words.
    auto captions = [&](nb::handle lines) {
        return this_module.attr("Captions")(nb::arg("lines") = lines, nb::arg("font") = a["font"],
                                            nb::arg("size") = a["fontsize"]);
    };
    nb::object line_make = this_module.attr("CaptionLine").attr("create_by_transcription");
    if (line_make.ptr() != own.line_create ||
        this_module.attr("CaptionWord").attr("create_by_transcription").ptr() != own.word_create) {
        nb::list made;
        for (const core::Line& part : parts) made.append(line_make(t.list(part.begin, part.end)));
        return captions(made);
    }
    // Thousands of new records would start collections of the youngest generation, each
    // walking the records just made, none of which can be garbage yet. The pause lasts until
    // the Captions record holds them: a collection started by its construction would walk
    // them all once more, and once the caller drops the result they are freed by their
    // reference counts without any collection seeing them.
    GcPause gc_pause;
    return captions(build_lines(t, parts));
}

nb::object estimate_average_char_width(const Args& a) {
    // The average width of the 62 letters and digits (A-Z, a-z, 0-9) at 0.3 of the font size
    // each.
    return nb::borrow(a["fontsize"]) * nb::float_(0.3) / nb::int_(62);
}

}  // namespace

void add_construction(nb::module_& m, nb::dict ns) {
    def_static(
        m, ns, "Captions",
        {{"create_by_transcription",
          {arg("list_of_words"), opt("frame_width", Kind::Any, nb::int_(700)),
           opt("font", Kind::Any, nb::str("Roboto-Bold")), opt("fontsize", Kind::Any, nb::int_(50)),
           opt("chars_per_line", Kind::Any, nb::int_(core::kCharsPerLine))},
          create_by_transcription,
          "Captions for timed words: cut into sentences at sentence punctuation and \"<split>\", "
          "each sentence split into lines of at most chars_per_line characters."},
         {"calculate_max_line_length",
          {opt("frame_width", Kind::Any, nb::none()), opt("font", Kind::Any, nb::none()),
           opt("fontsize", Kind::Any, nb::none()),
           opt("chars_per_line", Kind::Any, nb::int_(core::kCharsPerLine))},
          [](const Args& a) { return nb::borrow(a["chars_per_line"]); },
          "Calculate max line length. Uses provided chars_per_line parameter.\n\n"
          "Frame width, font, and fontsize parameters are kept for backward compatibility."},
         {"estimate_average_char_width", {arg("font"), arg("fontsize")},
          estimate_average_char_width, "Estimated average character width for a font size."}});
}

void register_captions(nb::module_& m) {
    nb::dict ns;
    add_construction(m, ns);
    add_timing(m, ns);
    make_record(m, "Captions",
                {field("lines", "list"), field("font", "str", nb::str("sans-serif")),
                 field("size", "int", nb::int_(60)), field("position", "str", nb::str("center")),
                 field("_duration", "float", nb::float_(0.0))},
                ns);
}

}  // namespace vestrel::bind::captions
