// Captions: the record, and its construction from timed words. The sentence cut and the
// line split run in the core over the words' texts and times; this file reads the words,
// writes the cleaned texts back and builds the records.
#include <climits>
#include <cmath>
#include <unordered_map>
#include <vector>

#include "bindings/captions/parts.hpp"
#include "bindings/common/args.hpp"
#include "bindings/common/pyutil.hpp"
#include "bindings/common/record.hpp"
#include "core/captions.hpp"

namespace vestrel::captions_py {

using namespace vestrel::py;

namespace {

// The line length limit as the core takes it: seg_length <= limit for any number.
int64_t line_limit(nb::handle value) {
    if (PyLong_Check(value.ptr())) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
        if (overflow > 0) return INT64_MAX;
        if (overflow < 0) return INT64_MIN;
        if (v == -1 && PyErr_Occurred()) throw nb::python_error();
        return v;
    }
    const double d = seconds(value);
    if (std::isnan(d)) return INT64_MIN;  // no length compares true with NaN
    if (d >= 9.2e18) return INT64_MAX;
    if (d <= -9.2e18) return INT64_MIN;
    return static_cast<int64_t>(std::floor(d));
}

nb::object new_text(const std::string& utf8) {
    PyObject* s = PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()),
                                       "surrogatepass");
    if (!s) throw nb::python_error();
    return nb::steal(s);
}

nb::object create_by_transcription(nb::args args, nb::kwargs kwargs) {
    static const Signature& sig = declare(
        {"create_by_transcription",
         {arg("list_of_words"), opt("frame_width", Kind::Int, nb::int_(700)),
          opt("font", Kind::Str, nb::str("Roboto-Bold")), opt("fontsize", Kind::Int, nb::int_(50)),
          opt("chars_per_line", Kind::Int, nb::int_(25))}});
    auto v = parse(sig, args, kwargs);
    nb::handle mod = module();

    const int64_t max_line_length = line_limit(
        mod.attr("Captions").attr("calculate_max_line_length")(v[1], v[2], v[3], v[4]));

    nb::object items = v[0];
    if (!PyList_CheckExact(items.ptr()) && !PyTuple_CheckExact(items.ptr())) {
        items = nb::steal(PySequence_List(items.ptr()));
        if (!items.is_valid()) throw nb::python_error();
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.ptr());
    PyObject** item = PySequence_Fast_ITEMS(items.ptr());

    // The same word object may be listed twice; the sentence cut must see its own writes.
    std::unordered_map<PyObject*, size_t> object_index;
    object_index.reserve(static_cast<size_t>(n));
    std::vector<size_t> object_of(static_cast<size_t>(n));
    std::vector<nb::object> object_text;
    std::vector<std::string> object_utf8;
    nb::str text_name("text"), start_name("start"), end_name("end");
    for (Py_ssize_t i = 0; i < n; ++i) {
        auto [it, fresh] = object_index.try_emplace(item[i], object_text.size());
        object_of[i] = it->second;
        if (!fresh) continue;
        object_text.push_back(nb::handle(item[i]).attr(text_name));
        object_utf8.push_back(text_utf8(object_text.back()));
    }

    captions::SentenceCut cut = captions::cut_sentences(object_utf8, object_of);
    for (const auto& w : cut.writes) {
        const size_t k = object_of[w.position];
        if (w.text != object_utf8[k]) {
            object_text[k] = new_text(w.text);
            object_utf8[k] = w.text;
        }
        if (PyObject_SetAttr(item[w.position], text_name.ptr(), object_text[k].ptr()) < 0)
            throw nb::python_error();
    }

    // The words as they are now, for the split and the records.
    std::vector<captions::TimedWord> words(static_cast<size_t>(n));
    std::vector<nb::object> texts(n), starts(n), ends(n);
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::handle w(item[i]);
        texts[i] = w.attr(text_name);
        starts[i] = w.attr(start_name);
        ends[i] = w.attr(end_name);
        const size_t k = object_of[i];
        words[i].text = texts[i].ptr() == object_text[k].ptr() ? object_utf8[k]
                                                               : text_utf8(texts[i]);
        words[i].start = seconds(starts[i]);
        words[i].end = seconds(ends[i]);
        words[i].object = k;
    }

    std::vector<captions::Line> parts = captions::split_lines(words, cut.ends, max_line_length);

    nb::object word_cls = mod.attr("CaptionWord"), line_cls = mod.attr("CaptionLine");
    nb::object empty = nb::str("");
    nb::list lines;
    for (const captions::Line& part : parts) {
        const Py_ssize_t count = static_cast<Py_ssize_t>(part.end - part.begin);
        nb::object line_words = nb::steal(PyList_New(count));
        nb::object line_texts = nb::steal(PyList_New(count));
        if (!line_words.is_valid() || !line_texts.is_valid()) throw nb::python_error();
        for (Py_ssize_t j = 0; j < count; ++j) {
            const size_t i = part.begin + static_cast<size_t>(j);
            PyList_SET_ITEM(line_words.ptr(), j,
                            make_word(word_cls, starts[i], ends[i], texts[i]).release().ptr());
            PyList_SET_ITEM(line_texts.ptr(), j, nb::object(texts[i]).release().ptr());
        }
        nb::object text = nb::steal(PyUnicode_Join(empty.ptr(), line_texts.ptr()));
        if (!text.is_valid()) throw nb::python_error();
        lines.append(make_line(line_cls, starts[part.begin], ends[part.end - 1], text, line_words));
    }
    return mod.attr("Captions")(nb::arg("lines") = lines, nb::arg("font") = v[2],
                                nb::arg("size") = v[3]);
}

nb::object calculate_max_line_length(nb::args args, nb::kwargs kwargs) {
    static const Signature& sig = declare(
        {"calculate_max_line_length",
         {opt_none("frame_width", Kind::Int), opt_none("font", Kind::Str),
          opt_none("fontsize", Kind::Int), opt("chars_per_line", Kind::Int, nb::int_(25))}});
    auto v = parse(sig, args, kwargs);
    return v[3];
}

nb::object estimate_average_char_width(nb::args args, nb::kwargs kwargs) {
    static const Signature& sig = declare(
        {"estimate_average_char_width", {arg("font", Kind::Str), arg("fontsize", Kind::Int)}});
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
    ns["create_by_transcription"] = staticmethod(nb::cpp_function(
        create_by_transcription, nb::name("create_by_transcription"),
        "Captions for timed words: cut into sentences at sentence punctuation and \"<split>\", "
        "each sentence split into lines of at most chars_per_line characters."));
    ns["calculate_max_line_length"] = staticmethod(nb::cpp_function(
        calculate_max_line_length, nb::name("calculate_max_line_length"),
        "Calculate max line length. Uses provided chars_per_line parameter.\n\n"
        "Frame width, font, and fontsize parameters are kept for backward compatibility."));
    ns["estimate_average_char_width"] = staticmethod(nb::cpp_function(
        estimate_average_char_width, nb::name("estimate_average_char_width"),
        "Estimated average character width for a font size."));
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
