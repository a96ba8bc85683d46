// CaptionWord, CaptionLine and find_greatest_pause.
#include <vector>

#include "bindings/captions/parts.hpp"
#include "bindings/common/args.hpp"
#include "bindings/common/pyutil.hpp"
#include "bindings/common/record.hpp"
#include "core/captions.hpp"

namespace vestrel::captions_py {

using namespace vestrel::py;

namespace {
PyObject* g_module = nullptr;  // a module lives for the whole process
// The record classes as made at load, and interned field names (never released).
PyObject* g_word_cls = nullptr;
PyObject* g_line_cls = nullptr;
PyObject* g_names[4] = {};  // start, end, text, words
PyObject* g_no_args = nullptr;  // the empty tuple
PyObject* g_own[3] = {};  // find_greatest_pause, CaptionWord's and CaptionLine's builders

}  // namespace

nb::handle own(Own which) { return g_own[static_cast<int>(which)]; }

nb::handle attr_name(Name n) { return g_names[static_cast<int>(n)]; }

void set_module(nb::module_& m) { g_module = nb::borrow(m).release().ptr(); }
nb::handle module() { return g_module; }

std::string_view text_utf8_general(nb::handle text, std::deque<std::string>& owned) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_Check(text.ptr()) ? PyUnicode_AsUTF8AndSize(text.ptr(), &n) : nullptr;
    if (p) return std::string_view(p, static_cast<size_t>(n));
    if (!PyUnicode_Check(text.ptr())) {
        // The sentence test looks for "<split>" in the text first: a value that holds nothing
        // fails there as the host's `in` fails.
        nb::str mark("<split>");
        if (PySequence_Contains(text.ptr(), mark.ptr()) < 0) throw nb::python_error();
        PyErr_Format(PyExc_TypeError, "expected str, got %.200s", Py_TYPE(text.ptr())->tp_name);
        throw nb::python_error();
    }
    PyErr_Clear();
    nb::object b = nb::steal(PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass"));
    if (!b.is_valid()) throw nb::python_error();
    return owned.emplace_back(PyBytes_AS_STRING(b.ptr()),
                              static_cast<size_t>(PyBytes_GET_SIZE(b.ptr())));
}

double seconds_general(nb::handle value) {
    double d = PyFloat_AsDouble(value.ptr());
    if (d == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return d;
}

RecordMaker::RecordMaker(nb::handle cls, size_t count)
    : cls_(cls.ptr()),
      type_(reinterpret_cast<PyTypeObject*>(cls.ptr())),
      count_(count),
      own_((cls_ == g_word_cls && count == 3) || (cls_ == g_line_cls && count == 4)),
      names_(g_names),
      no_args_(g_no_args) {}

nb::object make_word(nb::handle cls, nb::handle start, nb::handle end, nb::handle text) {
    PyObject* argv[] = {start.ptr(), end.ptr(), text.ptr()};
    return nb::steal(RecordMaker(cls, 3).make(argv));
}

nb::object make_line(nb::handle cls, nb::handle start, nb::handle end, nb::handle text,
                     nb::handle words) {
    PyObject* argv[] = {start.ptr(), end.ptr(), text.ptr(), words.ptr()};
    return nb::steal(RecordMaker(cls, 4).make(argv));
}

namespace {

nb::object word_create_by_transcription(nb::args args, nb::kwargs kwargs) {
    static const Signature& sig = declare({"create_by_transcription", {arg("word")}});
    auto v = parse(sig, args, kwargs);
    nb::handle w = v[0];
    nb::object start = w.attr(attr_name(Name::Start)), end = w.attr(attr_name(Name::End)),
               text = w.attr(attr_name(Name::Text));
    return make_word(module().attr("CaptionWord"), start, end, text);
}

nb::object line_create_by_transcription(nb::args args, nb::kwargs kwargs) {
    static const Signature& sig =
        declare({"create_by_transcription", {arg("list_of_words", Kind::List)}});
    auto v = parse(sig, args, kwargs);
    // A private tuple: attribute reads may run Python code that changes the caller's list.
    nb::object items = nb::steal(PySequence_Tuple(v[0].ptr()));
    if (!items.is_valid()) throw nb::python_error();
    const size_t n = nb::len(items);
    if (n == 0) raise(PyExc_IndexError, "list index out of range");
    // Each word as CaptionWord.create_by_transcription makes it, read at call time: ours
    // builds the record of the current CaptionWord class from the values read here.
    nb::object word_cls = module().attr("CaptionWord");
    nb::object word_make = word_cls.attr("create_by_transcription");
    const bool own_word_make = word_make.ptr() == own(Own::WordCreate).ptr();
    nb::handle start_name = attr_name(Name::Start), end_name = attr_name(Name::End),
               text_name = attr_name(Name::Text);
    auto item = [&](size_t i) { return nb::handle(PyTuple_GET_ITEM(items.ptr(), i)); };
    nb::object start = item(0).attr(start_name);
    nb::object end = item(n - 1).attr(end_name);
    nb::list words, texts;
    for (size_t i = 0; i < n; ++i) {
        nb::handle w = item(i);
        if (!own_word_make) {
            words.append(word_make(w));
            texts.append(w.attr(text_name));
            continue;
        }
        nb::object ws = w.attr(start_name), we = w.attr(end_name), wt = w.attr(text_name);
        words.append(make_word(word_cls, ws, we, wt));
        texts.append(wt);
    }
    nb::object text = nb::steal(PyUnicode_Join(nb::str("").ptr(), texts.ptr()));
    if (!text.is_valid()) throw nb::python_error();
    return make_line(module().attr("CaptionLine"), start, end, text, words);
}

nb::object find_greatest_pause(nb::args args, nb::kwargs kwargs) {
    static const Signature& sig = declare({"find_greatest_pause", {arg("objects")}});
    auto v = parse(sig, args, kwargs);
    nb::object items = nb::steal(PySequence_List(v[0].ptr()));
    if (!items.is_valid()) throw nb::python_error();
    const size_t n = nb::len(items);
    if (n == 0) raise(PyExc_IndexError, "list index out of range");
    std::vector<captions::TimedWord> words(n);
    for (size_t i = 0; i < n; ++i) words[i].end = seconds(items[i].attr(attr_name(Name::End)));
    // Every start is read but that of the first word by end time, which no pause begins at.
    size_t first = 0;
    for (size_t i = 1; i < n; ++i)
        if (words[i].end < words[first].end) first = i;
    if (n >= 2)
        for (size_t i = 0; i < n; ++i)
            if (i != first) words[i].start = seconds(items[i].attr(attr_name(Name::Start)));
    for (size_t i = 0; i < n; ++i) words[i].object = i;
    auto found = captions::find_greatest_pause(words);
    if (!found) return nb::none();
    return items[*found];
}

nb::object staticmethod(nb::object fn) {
    return import("builtins").attr("staticmethod")(fn);
}

}  // namespace

void register_words(nb::module_& m) {
    const char* names[] = {"start", "end", "text", "words"};
    for (int i = 0; i < 4; ++i) g_names[i] = PyUnicode_InternFromString(names[i]);
    g_no_args = PyTuple_New(0);
    {
        nb::dict ns;
        nb::object make = documented(
            nb::cpp_function(word_create_by_transcription), "create_by_transcription",
            "A caption word with the start, end and text of a timed word.", "CaptionWord");
        g_own[static_cast<int>(Own::WordCreate)] = make.inc_ref().ptr();
        ns["create_by_transcription"] = staticmethod(make);
        g_word_cls = make_record(m, "CaptionWord",
                                 {field("start", "float"), field("end", "float"),
                                  field("text", "str")},
                                 ns)
                         .release()
                         .ptr();
    }
    {
        nb::dict ns;
        nb::object make = documented(
            nb::cpp_function(line_create_by_transcription), "create_by_transcription",
            "A caption line of the given timed words: from the first word's start to the last "
            "word's end, its text the words' texts joined.",
            "CaptionLine");
        g_own[static_cast<int>(Own::LineCreate)] = make.inc_ref().ptr();
        ns["create_by_transcription"] = staticmethod(make);
        g_line_cls = make_record(m, "CaptionLine",
                                 {field("start", "float"), field("end", "float"),
                                  field("text", "str", nb::str("")), list_field("words", "list")},
                                 ns)
                         .release()
                         .ptr();
    }
    nb::object pause = documented(
        nb::cpp_function(find_greatest_pause), "find_greatest_pause",
        "The word after which the longest positive pause follows (words taken in order of "
        "their end times), or None.");
    g_own[static_cast<int>(Own::FindGreatestPause)] = pause.inc_ref().ptr();
    m.attr("find_greatest_pause") = pause;
}

}  // namespace vestrel::captions_py
