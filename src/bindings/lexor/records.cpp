// Word, Segment and Transcription: value records, the character edits of a transcription and
// the two converters from aligner output.
#include <cstdint>
#include <optional>
#include <string>

#include "bindings/common/args.hpp"
#include "bindings/common/codepoints.hpp"
#include "bindings/common/function.hpp"
#include "bindings/common/pyutil.hpp"
#include "bindings/common/record.hpp"
#include "bindings/lexor/parts.hpp"
#include "core/alignment.hpp"

namespace vestrel::lexor {

namespace {

using namespace vestrel::py;

struct Located {
    nb::object word;
    nb::object text;
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
            if (!PyUnicode_Check(text.ptr())) {
                std::string msg = "'";
                msg += Py_TYPE(text.ptr())->tp_name;
                msg += "' object is not iterable";
                raise(PyExc_TypeError, msg);
            }
            if (auto offset = walk.step(static_cast<std::size_t>(PyUnicode_GET_LENGTH(text.ptr()))))
                return {nb::borrow(word), std::move(text), *offset};
        }
    }
    PyErr_SetNone(PyExc_IndexError);
    throw nb::python_error();
}

const Signature& edit_signature(const char* name) {
    return declare({name, {arg("index", Kind::Int), arg("char", Kind::Str)}, true});
}

// update_char and insert_char: the located word's text is rebuilt with `edit` applied at
// the located offset.
template <void (*edit)(std::u32string&, std::size_t, std::u32string_view)>
nb::object edit_char(const Signature& sig, nb::handle self, nb::args args, nb::kwargs kwargs) {
    auto v = parse(sig, args, kwargs);
    Located at = locate(self, v[0]);
    std::u32string text = code_points(at.text);
    edit(text, at.offset, code_points(v[1]));
    at.word.attr("text") = from_code_points(text);
    return nb::none();
}

nb::object update_char(nb::handle self, nb::args args, nb::kwargs kwargs) {
    static const Signature& sig = edit_signature("update_char");
    return edit_char<alignment::update_at>(sig, self, args, kwargs);
}

nb::object insert_char(nb::handle self, nb::args args, nb::kwargs kwargs) {
    static const Signature& sig = edit_signature("insert_char");
    return edit_char<alignment::insert_at>(sig, self, args, kwargs);
}

nb::object pop(nb::handle self, nb::args args, nb::kwargs kwargs) {
    static const Signature& sig = declare({"pop", {arg("index", Kind::Int)}, true});
    auto v = parse(sig, args, kwargs);
    Located at = locate(self, v[0]);
    std::u32string text = code_points(at.text);
    const char32_t removed = alignment::pop_at(text, at.offset);
    at.word.attr("text") = from_code_points(text);
    return from_code_points(std::u32string_view(&removed, 1));
}

// Builds a transcription from segments and words whose fields are read through `get`
// (attribute access or item lookup): any failure passes through, and the
// half-built transcription is never seen by the caller.
template <typename Get>
nb::object convert(nb::handle segments, Get get) {
    nb::handle m = self_module();
    nb::object word_type = m.attr("Word");
    nb::object segment_type = m.attr("Segment");
    nb::object transcription = m.attr("Transcription")();
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

nb::object from_stablets(nb::args args, nb::kwargs kwargs) {
    static const Signature& sig = declare({"from_stablets", {arg("stable_ts_anal")}});
    auto v = parse(sig, args, kwargs);
    // The aligner's result is iterated itself and yields its segments.
    return convert(v[0], [](nb::handle obj, const char* name) -> nb::object {
        return obj.attr(name);
    });
}

nb::object from_whisper_anal(nb::args args, nb::kwargs kwargs) {
    static const Signature& sig = declare({"from_whisper_anal", {arg("whisper_anal")}});
    auto v = parse(sig, args, kwargs);
    nb::object segments = v[0]["segments"];
    return convert(segments, [](nb::handle obj, const char* key) -> nb::object {
        return obj[key];
    });
}

// Methods carry their docstring alone, with the names a function of the class has.
nb::object method(nb::object (*fn)(nb::handle, nb::args, nb::kwargs), const char* name,
                  const char* doc) {
    return documented(nb::cpp_function(fn), name, nb::str(doc), "Transcription",
                      nb::str("vestrel.lexor"));
}

nb::object static_method(nb::object (*fn)(nb::args, nb::kwargs), const char* name,
                         const char* doc) {
    nb::object f = documented(nb::cpp_function(fn), name, nb::str(doc), "Transcription",
                              nb::str("vestrel.lexor"));
    return nb::module_::import_("builtins").attr("staticmethod")(f);
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
    ns["update_char"] =
        method(update_char, "update_char", "Replace the character at index with char.");
    ns["insert_char"] = method(insert_char, "insert_char", "Insert char before index");
    ns["pop"] = method(pop, "pop", "Remove char at index (and shift list)");
    ns["from_stablets"] = static_method(from_stablets, "from_stablets",
                                        "Create from whisper stable ts analysis object");
    ns["from_whisper_anal"] = static_method(from_whisper_anal, "from_whisper_anal",
                                            "Create from whisper analysis dict");
    make_record(m, "Transcription",
                {list_field("segments", "list"), field("text", "str", nb::str(""))}, ns);
}

}  // namespace vestrel::lexor
