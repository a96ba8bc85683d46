// Captions: the record, and its construction from timed words. The sentence cut and the
// line split run in the core over the words' texts and times; this file reads the words,
// writes the cleaned texts back and builds the records.
#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <new>
#include <optional>
#include <vector>

#include "bindings/captions/parts.hpp"
#include "bindings/common/args.hpp"
#include "bindings/common/pyutil.hpp"
#include "bindings/common/record.hpp"
#include "core/captions.hpp"

namespace vestrel::captions_py {

using namespace vestrel::py;

namespace {

// The line length limit as the core takes it: length <= limit as the host compares an int
// length with `value` (for integer lengths, floor of a real limit; no length fits NaN).
int64_t line_limit(nb::handle value) {
    PyObject* v = value.ptr();
    if (PyLong_Check(v)) {
        int overflow = 0;
        long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow > 0) return INT64_MAX;
        if (overflow < 0) return INT64_MIN;
        if (n == -1 && PyErr_Occurred()) throw nb::python_error();
        return n;
    }
    if (!PyFloat_Check(v)) {
        if (PyIndex_Check(v)) {
            nb::object n = nb::steal(PyNumber_Index(v));
            if (!n.is_valid()) throw nb::python_error();
            return line_limit(n);
        }
        // Any other limit: a length compared with it raises what the host raises for a value
        // no int compares with (text, None, ...).
        nb::object zero = nb::int_(0);
        if (PyObject_RichCompareBool(zero.ptr(), v, Py_LE) < 0) throw nb::python_error();
    }
    const double d = seconds(value);
    if (std::isnan(d)) return INT64_MIN;  // no length compares true with NaN
    if (d >= 9.2e18) return INT64_MAX;
    if (d <= -9.2e18) return INT64_MIN;
    return static_cast<int64_t>(std::floor(d));
}

// Distinct objects of a word tuple: a small open-addressing table keyed by object address
// (a word list has a few thousand entries at most; this is cheaper than a node-based map).
// A slot holds one more than the position of an object's first appearance (0: empty), so the
// table stays four bytes a slot.
class ObjectIndex {
public:
    ObjectIndex(PyObject* const* items, size_t n) : items_(items) {
        size_t cap = 16;
        while (cap < 2 * n) cap <<= 1;
        slots_.assign(cap, 0);
        mask_ = cap - 1;
    }
    // The position of the first appearance of items[i]; i itself when it is new.
    size_t first(size_t i) {
        PyObject* key = items_[i];
        size_t h = (reinterpret_cast<uintptr_t>(key) >> 4) * 0x9E3779B97F4A7C15ull;
        for (size_t s = (h >> 20) & mask_;; s = (s + 1) & mask_) {
            const uint32_t v = slots_[s];
            if (!v) {
                slots_[s] = static_cast<uint32_t>(i + 1);
                return i;
            }
            if (items_[v - 1] == key) return v - 1;
        }
    }

private:
    PyObject* const* items_;
    std::vector<uint32_t> slots_;
    size_t mask_ = 0;
};

// Pauses the cyclic garbage collector for a scope, when it was running.
struct GcPause {
    int was_enabled = PyGC_Disable();
    ~GcPause() {
        if (was_enabled) PyGC_Enable();
    }
};

nb::object new_text(std::string_view utf8) {
    PyObject* s = PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()),
                                       "surrogatepass");
    if (!s) throw nb::python_error();
    return nb::steal(s);
}

// The field values of one word's record in its field order (start, end, text), each an owned
// reference once set; a table of them releases what it holds.
using WordFields = std::array<PyObject*, 3>;
enum : size_t { kStart = 0, kEnd = 1, kText = 2 };
struct FieldTable {
    std::vector<WordFields> rows;
    FieldTable() = default;
    FieldTable(const FieldTable&) = delete;
    FieldTable& operator=(const FieldTable&) = delete;
    ~FieldTable() {
        for (WordFields& row : rows)
            for (PyObject* value : row) Py_XDECREF(value);
    }
};

// The texts joined as "".join joins them: a single exact str is returned itself, otherwise a
// new str of the narrowest kind that holds every character, copied kind by kind.
nb::object join_texts(const WordFields* first, const WordFields* last) {
    if (last - first == 1 && PyUnicode_CheckExact((*first)[kText]))
        return nb::borrow((*first)[kText]);
    Py_ssize_t length = 0;
    Py_UCS4 maxchar = 0;
    for (const WordFields* w = first; w != last; ++w) {
        PyObject* t = (*w)[kText];
        length += PyUnicode_GET_LENGTH(t);
        maxchar = std::max(maxchar, static_cast<Py_UCS4>(PyUnicode_MAX_CHAR_VALUE(t)));
    }
    nb::object out = nb::steal(PyUnicode_New(length, maxchar));
    if (!out.is_valid()) throw nb::python_error();
    const int kind = PyUnicode_KIND(out.ptr());
    char* data = static_cast<char*>(PyUnicode_DATA(out.ptr()));
    Py_ssize_t at = 0;
    for (const WordFields* w = first; w != last; ++w) {
        PyObject* t = (*w)[kText];
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

nb::object create_by_transcription(nb::args args, nb::kwargs kwargs) {
    static const Signature& sig = declare(
        {"create_by_transcription",
         {arg("list_of_words"), opt("frame_width", Kind::Any, nb::int_(700)),
          opt("font", Kind::Any, nb::str("Roboto-Bold")), opt("fontsize", Kind::Any, nb::int_(50)),
          opt("chars_per_line", Kind::Any, nb::int_(25))}});
    auto v = parse(sig, args, kwargs);
    nb::handle mod = module();

    // The limit as given (the words' own types are unchecked, as are these); it is first
    // compared with a length once there are words.
    const nb::object limit =
        mod.attr("Captions").attr("calculate_max_line_length")(v[1], v[2], v[3], v[4]);

    // Our own tuple of the words: attribute reads may run Python code that changes the
    // caller's list, and the words must stay alive (their addresses identify them).
    nb::object items = v[0];
    if (!PyTuple_CheckExact(items.ptr())) {
        items = nb::steal(PySequence_Tuple(items.ptr()));
        if (!items.is_valid()) throw nb::python_error();
    }
    const size_t count = static_cast<size_t>(PyTuple_GET_SIZE(items.ptr()));
    PyObject** item = PySequence_Fast_ITEMS(items.ptr());
    // The object table counts in four bytes; the per-word vectors below would not fit in
    // memory long before.
    if (count >= UINT32_MAX) throw std::bad_alloc();

    // The same word object may be listed twice; the sentence cut must see its own writes.
    // Objects are numbered in order of first appearance: each word's `object` is its
    // object's number and its `text` the UTF-8 of its object's text (object_text[k]) until
    // the cut has written texts back.
    ObjectIndex object_index(item, count);
    std::vector<nb::object> object_text;
    object_text.reserve(count);
    std::deque<std::string> owned;
    // Filled in order (reserved, not zeroed first: every element is written once): the core's
    // words, the records' field values and the texts' lengths in code points (the str
    // lengths: a lone surrogate is one either way).
    std::vector<captions::TimedWord> words;
    FieldTable fields;
    std::vector<size_t> lengths;
    words.reserve(count);
    fields.rows.reserve(count);
    lengths.reserve(count);
    // Interned names: attribute lookups then hit the type's lookup cache and compare keys by
    // identity.
    PyObject* const text_name = attr_name(Name::Text).ptr();
    PyObject* const start_name = attr_name(Name::Start).ptr();
    PyObject* const end_name = attr_name(Name::End).ptr();
    auto get = [](PyObject* o, PyObject* name) {
        PyObject* r = PyObject_GetAttr(o, name);
        if (!r) throw nb::python_error();
        return nb::steal(r);
    };
    auto get_raw = [](PyObject* o, PyObject* name) {
        PyObject* r = PyObject_GetAttr(o, name);
        if (!r) throw nb::python_error();
        return r;
    };
    // First the texts alone: every "<split>" is removed from the input words before any time
    // is read, so a word without a start or an end fails with the texts already written.
    for (size_t i = 0; i < count; ++i) {
        const size_t at = object_index.first(i);
        if (at == i) {
            const size_t k = object_text.size();
            object_text.push_back(get(item[i], text_name));
            words.push_back({text_utf8(object_text.back(), owned), 0.0, 0.0, k});
        } else {
            const captions::TimedWord first = words[at];
            words.push_back(first);
        }
    }

    const captions::SentenceCut cut = captions::cut_sentences(words, object_text.size());
    std::vector<char> written(object_text.size(), 0);
    for (const auto& w : cut.writes) {
        const size_t k = words[w.position].object;
        if (w.changed) object_text[k] = new_text(w.text);
        if (PyObject_SetAttr(item[w.position], text_name, object_text[k].ptr()) < 0)
            throw nb::python_error();
        written[k] = 1;
    }

    // Then the times, and the texts as they are now, for the split and the records: a text
    // written back is read again at every position of its word (the word decides what it
    // keeps), the others stay as read above.
    for (size_t i = 0; i < count; ++i) {
        captions::TimedWord& word = words[i];
        {
            nb::object start = get(item[i], start_name);
            PyObject* end = get_raw(item[i], end_name);
            PyObject* text;
            if (written[word.object]) {
                nb::object now = get(item[i], text_name);
                word.text = text_utf8(now, owned);
                text = now.release().ptr();
            } else {
                text = object_text[word.object].ptr();
                Py_INCREF(text);
            }
            fields.rows.push_back({start.release().ptr(), end, text});
        }
        const WordFields& row = fields.rows.back();
        lengths.push_back(static_cast<size_t>(PyUnicode_GET_LENGTH(row[kText])));
        word.start = seconds(row[kStart]);
        word.end = seconds(row[kEnd]);
    }

    const int64_t max_line_length = count ? line_limit(limit) : 0;
    // The words of positions [begin, end) as a new list.
    auto word_list = [&](size_t begin, size_t end) {
        nb::object list = nb::steal(PyList_New(static_cast<Py_ssize_t>(end - begin)));
        if (!list.is_valid()) throw nb::python_error();
        for (size_t i = begin; i < end; ++i)
            PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i - begin),
                            nb::borrow(item[i]).release().ptr());
        return list;
    };
    // find_greatest_pause is read at call time: a replacement is called for every segment
    // split, and the cut falls after the first word equal to what it returns.
    nb::object pause_fn = mod.attr("find_greatest_pause");
    captions::PauseFinder find_pause = [&](size_t begin, size_t end) -> std::optional<size_t> {
        nb::object found = pause_fn(word_list(begin, end));
        if (found.is_none()) return std::nullopt;
        for (size_t i = begin; i < end; ++i) {
            const int equal = PyObject_RichCompareBool(item[i], found.ptr(), Py_EQ);
            if (equal < 0) throw nb::python_error();
            if (equal) return i;
        }
        return std::nullopt;
    };
    const bool own_pause = pause_fn.ptr() == own(Own::FindGreatestPause).ptr();
    const std::vector<captions::Line> parts = captions::split_lines(
        words, cut.ends, max_line_length, lengths, own_pause ? nullptr : &find_pause);

    nb::object word_cls = mod.attr("CaptionWord"), line_cls = mod.attr("CaptionLine");
    // The lines as CaptionLine.create_by_transcription makes them, read at call time; when
    // it or CaptionWord's is not ours, it is called with each line's words.
    nb::object line_make = line_cls.attr("create_by_transcription");
    if (line_make.ptr() != own(Own::LineCreate).ptr() ||
        word_cls.attr("create_by_transcription").ptr() != own(Own::WordCreate).ptr()) {
        nb::list lines;
        for (const captions::Line& part : parts)
            lines.append(line_make(word_list(part.begin, part.end)));
        return mod.attr("Captions")(nb::arg("lines") = lines, nb::arg("font") = v[2],
                                    nb::arg("size") = v[3]);
    }
    const RecordMaker word_maker(word_cls, 3), line_maker(line_cls, 4);
    // Thousands of new records would start several collections of the youngest generation,
    // each walking the records just made; none of them can be garbage yet. No Python code
    // runs while the records are built, so nothing else sees the pause.
    GcPause gc_pause;
    nb::object lines = nb::steal(PyList_New(static_cast<Py_ssize_t>(parts.size())));
    if (!lines.is_valid()) throw nb::python_error();
    for (size_t p = 0; p < parts.size(); ++p) {
        const captions::Line& part = parts[p];
        const Py_ssize_t size = static_cast<Py_ssize_t>(part.end - part.begin);
        nb::object line_words = nb::steal(PyList_New(size));
        if (!line_words.is_valid()) throw nb::python_error();
        const WordFields* row = fields.rows.data() + part.begin;
        for (Py_ssize_t j = 0; j < size; ++j)
            PyList_SET_ITEM(line_words.ptr(), j, word_maker.make(row[j].data()));
        nb::object text = join_texts(row, row + size);
        PyObject* line_fields[] = {row[0][kStart], row[size - 1][kEnd], text.ptr(),
                                   line_words.ptr()};
        PyList_SET_ITEM(lines.ptr(), static_cast<Py_ssize_t>(p), line_maker.make(line_fields));
    }
    return mod.attr("Captions")(nb::arg("lines") = lines, nb::arg("font") = v[2],
                                nb::arg("size") = v[3]);
}

nb::object calculate_max_line_length(nb::args args, nb::kwargs kwargs) {
    static const Signature& sig = declare(
        {"calculate_max_line_length",
         {opt("frame_width", Kind::Any, nb::none()), opt("font", Kind::Any, nb::none()),
          opt("fontsize", Kind::Any, nb::none()), opt("chars_per_line", Kind::Any, nb::int_(25))}});
    auto v = parse(sig, args, kwargs);
    return v[3];
}

nb::object estimate_average_char_width(nb::args args, nb::kwargs kwargs) {
    static const Signature& sig = declare(
        {"estimate_average_char_width", {arg("font"), arg("fontsize")}});
    auto v = parse(sig, args, kwargs);
    // The average width of the 62 letters and digits at 0.3 of the font size each.
    static constexpr char kSample[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    nb::object width = v[1] * nb::float_(0.3);
    return width / nb::int_(sizeof(kSample) - 1);
}

nb::object staticmethod(nb::object fn) { return import("builtins").attr("staticmethod")(fn); }

}  // namespace

void add_construction(nb::dict& ns) {
    ns["create_by_transcription"] = staticmethod(documented(
        nb::cpp_function(create_by_transcription), "create_by_transcription",
        "Captions for timed words: cut into sentences at sentence punctuation and \"<split>\", "
        "each sentence split into lines of at most chars_per_line characters.",
        "Captions"));
    ns["calculate_max_line_length"] = staticmethod(documented(
        nb::cpp_function(calculate_max_line_length), "calculate_max_line_length",
        "Calculate max line length. Uses provided chars_per_line parameter.\n\n"
        "Frame width, font, and fontsize parameters are kept for backward compatibility.",
        "Captions"));
    ns["estimate_average_char_width"] = staticmethod(documented(
        nb::cpp_function(estimate_average_char_width), "estimate_average_char_width",
        "Estimated average character width for a font size.", "Captions"));
}

void register_captions(nb::module_& m) {
    nb::dict ns;
    add_construction(ns);
    add_timing(ns);
    make_record(m, "Captions",
                {field("lines", "list"), field("font", "str", nb::str("sans-serif")),
                 field("size", "int", nb::int_(60)), field("position", "str", nb::str("center")),
                 field("_duration", "float", nb::float_(0.0))},
                ns);
}

}  // namespace vestrel::captions_py
