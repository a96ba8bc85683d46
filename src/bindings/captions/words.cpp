// CaptionWord, CaptionLine and find_greatest_pause.
#include <vector>

#include "bindings/captions/parts.hpp"
#include "bindings/common/pyutil.hpp"
#include "bindings/common/record.hpp"
#include "core/captions.hpp"

namespace vestrel::bind::captions {

namespace {

// A record of class `cls` with the start, end and text of `w`, read in that order; `text`
// gets the text read.
nb::object word_record(nb::handle cls, nb::handle w, nb::object& text) {
    nb::object start = field_of(w, kStart), end = field_of(w, kEnd);
    text = field_of(w, kText);
    PyObject* values[] = {start.ptr(), end.ptr(), text.ptr()};
    return nb::steal(RecordMaker{cls.ptr(), 3}.make(values));
}

nb::object word_create_by_transcription(const Args& a) {
    nb::object text;
    return word_record(this_module.attr("CaptionWord"), a["word"], text);
}

nb::object line_create_by_transcription(const Args& a) {
    // A private tuple: attribute reads may run Python code that changes the caller's list.
    nb::object items = checked(PySequence_Tuple(a["list_of_words"].ptr()));
    const size_t n = nb::len(items);
    if (n == 0) raise(PyExc_IndexError, "list index out of range");
    auto item = [&](size_t i) { return nb::handle(PyTuple_GET_ITEM(items.ptr(), i)); };
    // Each word as CaptionWord.create_by_transcription makes it, read at call time: ours
    // builds the record of the current CaptionWord class from the values read here.
    nb::object word_cls = this_module.attr("CaptionWord");
    nb::object word_make = word_cls.attr("create_by_transcription");
    nb::object start = field_of(item(0), kStart);
    nb::object end = field_of(item(n - 1), kEnd);
    nb::list words, texts;
    for (size_t i = 0; i < n; ++i) {
        nb::object text;
        words.append(word_make.ptr() == own.word_create ? word_record(word_cls, item(i), text)
                                                        : word_make(item(i)));
        texts.append(text.is_valid() ? text : field_of(item(i), kText));
    }
    nb::object text = checked(PyUnicode_Join(nb::str("").ptr(), texts.ptr()));
    PyObject* values[] = {start.ptr(), end.ptr(), text.ptr(), words.ptr()};
    nb::object cls = this_module.attr("CaptionLine");
    return nb::steal(RecordMaker{cls.ptr(), 4}.make(values));
}

nb::object find_greatest_pause(const Args& a) {
    nb::object items = checked(PySequence_List(a["objects"].ptr()));
    const size_t n = nb::len(items);
    if (n == 0) raise(PyExc_IndexError, "list index out of range");
    auto time = [&](size_t i, Field f) { return seconds(field_of(items[i], f)); };
    std::vector<double> ends(n);
    for (size_t i = 0; i < n; ++i) ends[i] = time(i, kEnd);
    auto found = vestrel::captions::find_greatest_pause(
        ends, [&](size_t i) { return time(i, kStart); });
    if (!found) return nb::none();
    return items[*found];
}

// A record class with a create_by_transcription of its own; returns the class and keeps
// that function in `made` (both kept for the life of the process).
PyObject* record_with_builder(nb::module_& m, const char* name, std::vector<py::Field> fields,
                              Fn builder, PyObject*& made) {
    nb::dict ns;
    def_static(m, ns, name, {builder});
    nb::object cls = make_record(m, name, fields, ns);
    made = nb::object(cls.attr("create_by_transcription")).release().ptr();
    return cls.release().ptr();
}

}  // namespace

void register_words(nb::module_& m) {
    const char* names[] = {"start", "end", "text", "words"};
    for (int i = 0; i < 4; ++i) field_name[i] = PyUnicode_InternFromString(names[i]);
    own.no_args = PyTuple_New(0);
    own.word_class = record_with_builder(
        m, "CaptionWord", {field("start", "float"), field("end", "float"), field("text", "str")},
        {"create_by_transcription", {arg("word")}, word_create_by_transcription,
         "A caption word with the start, end and text of a timed word."},
        own.word_create);
    own.line_class = record_with_builder(
        m, "CaptionLine",
        {field("start", "float"), field("end", "float"), field("text", "str", nb::str("")),
         list_field("words", "list")},
        {"create_by_transcription", {arg("list_of_words", Kind::List)},
         line_create_by_transcription,
         "A caption line of the given timed words: from the first word's start to the last "
         "word's end, its text the words' texts joined."},
        own.line_create);
    def(m, {{"find_greatest_pause", {arg("objects")}, find_greatest_pause,
             "The word after which the longest positive pause follows (words taken in order of "
             "their end times), or None."}});
    own.find_greatest_pause = nb::object(m.attr("find_greatest_pause")).release().ptr();
}

}  // namespace vestrel::bind::captions
