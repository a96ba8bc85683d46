// Word, Segment and Transcription: value records, the character edits of a transcription and
// the two converters from aligner output.
#include <string>

#include "bindings/common/codepoints.hpp"
#include "bindings/common/pyutil.hpp"
#include "bindings/common/record.hpp"
#include "bindings/lexor/parts.hpp"
#include "core/alignment.hpp"

namespace vestrel::bind::lexor {

namespace {

struct Located {
    nb::object word;
    std::u32string text;  // the word's text as code points
    std::size_t offset;
};

// The word holding character position `index` of the transcription's text and the offset in
// it, walking segment by segment, word by word; IndexError (no message) when none holds it.
Located locate(nb::handle transcription, nb::handle index) {
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (value == -1 && PyErr_Occurred()) throw nb::python_error();
    // An index beyond 64 bits is past every text: the walk runs through and matches nothing.
    alignment::PositionWalk walk(overflow != 0 ? -1 : value);
    for (nb::handle segment : transcription.attr("segments")) {
        for (nb::handle word : segment.attr("words")) {
            nb::object text = word.attr("text");
            if (!PyUnicode_Check(text.ptr()))
                raise(PyExc_TypeError,
                      std::string("'") + Py_TYPE(text.ptr())->tp_name + "' object is not iterable");
            if (auto offset = walk.step(static_cast<std::size_t>(PyUnicode_GET_LENGTH(text.ptr()))))
                return {nb::borrow(word), code_points(text), *offset};
        }
    }
    PyErr_SetNone(PyExc_IndexError);
    throw nb::python_error();
}

// update_char and insert_char: the located word's text is rebuilt with `edit` applied at
// the located offset.
template <void (*edit)(std::u32string&, std::size_t, std::u32string_view)>
nb::object edit_char(const Args& a) {
    Located at = locate(a["self"], a["index"]);
    edit(at.text, at.offset, code_points(a["char"]));
    at.word.attr("text") = from_code_points(at.text);
    return nb::none();
}

nb::object pop(const Args& a) {
    Located at = locate(a["self"], a["index"]);
    const char32_t removed = alignment::pop_at(at.text, at.offset);
    at.word.attr("text") = from_code_points(at.text);
    return from_code_points(std::u32string_view(&removed, 1));
}

// Builds a transcription from segments and words whose fields are read through `get`
// (attribute access or item lookup): any failure passes through, and the
// half-built transcription is never seen by the caller.
template <typename Get>
nb::object convert(nb::handle segments, Get get) {
    nb::object word_type = this_module.attr("Word");
    nb::object segment_type = this_module.attr("Segment");
    nb::object transcription = this_module.attr("Transcription")();
    nb::object segment_list = transcription.attr("segments");
    for (nb::handle segment : segments) {
        nb::list words;
        for (nb::handle word : get(segment, "words")) {
            // One field after the other, in the order a reader of the source expects.
            nb::object text = get(word, "word");
            nb::object start = get(word, "start");
            nb::object end = get(word, "end");
            words.append(word_type(text, start, end));
        }
        nb::object text = get(segment, "text");
        nb::object start = get(segment, "start");
        nb::object end = get(segment, "end");
        segment_list.attr("append")(segment_type(text, start, end, words));
    }
    return transcription;
}

nb::object from_stablets(const Args& a) {
    // The aligner's result is iterated itself and yields its segments.
    return convert(a["stable_ts_anal"],
                   [](nb::handle obj, const char* name) -> nb::object { return obj.attr(name); });
}

nb::object from_whisper_anal(const Args& a) {
    nb::object segments = a["whisper_anal"]["segments"];
    return convert(segments,
                   [](nb::handle obj, const char* key) -> nb::object { return obj[key]; });
}

}  // namespace

void register_records(nb::module_& m) {
    make_record(m, "Word",
                {field("text", "str", nb::str("")), field("start", "float", nb::int_(0)),
                 field("end", "float", nb::int_(0))});
    make_record(m, "Segment",
                {field("text", "str", nb::str("")), field("start", "float", nb::int_(0)),
                 field("end", "float", nb::int_(0)), list_field("words", "list")});

    nb::dict ns;
    const Param index = arg("index", Kind::Int) | int_type();
    const Param chr = arg("char", Kind::Str) | str_type();
    def_methods(m, ns, "Transcription",
                {{"update_char", {arg("self"), index, chr}, edit_char<alignment::update_at>,
                  "Replace the character at index with char."},
                 {"insert_char", {arg("self"), index, chr}, edit_char<alignment::insert_at>,
                  "Insert char before index"},
                 {"pop", {arg("self"), index}, pop, "Remove char at index (and shift list)"}});
    def_static(m, ns, "Transcription",
               {{"from_stablets", {arg("stable_ts_anal")}, from_stablets,
                 "Create from whisper stable ts analysis object"},
                {"from_whisper_anal", {arg("whisper_anal")}, from_whisper_anal,
                 "Create from whisper analysis dict"}});
    make_record(m, "Transcription",
                {list_field("segments", "list"), field("text", "str", nb::str(""))}, ns);
}

}  // namespace vestrel::bind::lexor
