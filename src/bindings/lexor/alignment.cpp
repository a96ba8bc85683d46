// The words of a transcription, command re-insertion and the split by scene: the texts are
// read once, the core does the walk with the GIL released, and only changed texts are
// written back.
#include <string>
#include <vector>

#include "bindings/common/args.hpp"
#include "bindings/common/codepoints.hpp"
#include "bindings/common/pyutil.hpp"
#include "bindings/lexor/parts.hpp"
#include "core/alignment.hpp"

namespace vestrel::lexor {

using namespace vestrel::py;

nb::handle self_module() {
    static nb::handle m = nb::module_::import_("vestrel.lexor").release();
    return m;
}

nb::list words_of(nb::handle transcription) {
    nb::list words;
    for (nb::handle segment : transcription.attr("segments"))
        for (nb::handle word : segment.attr("words")) words.append(word);
    return words;
}

nb::object word_text(nb::handle word, std::size_t item) {
    nb::object text = word.attr("text");
    if (!PyUnicode_Check(text.ptr())) {
        std::string msg = "sequence item " + std::to_string(item) +
                          ": expected str instance, " + Py_TYPE(text.ptr())->tp_name + " found";
        raise(PyExc_TypeError, msg);
    }
    return text;
}

void raise_text(PyObject* type, nb::handle message) {
    PyErr_SetObject(type, message.ptr());
    throw nb::python_error();
}

namespace {

// The word objects and their texts as code points, in reading order, through the module's
// own get_words (read at call time, as every caller sees it).
struct WordTexts {
    std::vector<nb::object> words;
    std::vector<std::u32string> texts;
};

WordTexts read_words(nb::handle transcription) {
    WordTexts w;
    nb::object list = self_module().attr("get_words")(transcription);
    for (nb::handle word : list) {
        w.texts.push_back(code_points(word_text(word, w.words.size())));
        w.words.push_back(nb::borrow(word));
    }
    return w;
}

std::u32string chars_message(std::u32string_view prefix, char32_t a, char32_t b) {
    std::u32string msg(prefix);
    msg += a;
    msg += U" != ";
    msg += b;
    return msg;
}

// The text of words[i] for normalising, with the error of calling startswith on a non-str.
std::u32string normalise_text(nb::handle word, const char* method) {
    nb::object text = word.attr("text");
    if (!PyUnicode_Check(text.ptr()))
        raise(PyExc_AttributeError, std::string("'") + Py_TYPE(text.ptr())->tp_name +
                                        "' object has no attribute '" + method + "'");
    return code_points(text);
}

void normalise_impl(nb::handle transcription, nb::handle original_text) {
    nb::object words = self_module().attr("get_words")(transcription);
    nb::object first = words[0];  // IndexError for a transcription without words
    nb::object last = words[-1];
    const std::u32string script = code_points(original_text);
    std::u32string first_text = normalise_text(first, "startswith");
    if (first.is(last)) {
        const std::u32string before = first_text;
        alignment::normalise(first_text, first_text, script);
        if (first_text != before) first.attr("text") = from_code_points(first_text);
        return;
    }
    std::u32string last_text = normalise_text(last, "endswith");
    const std::size_t first_size = first_text.size(), last_size = last_text.size();
    alignment::normalise(first_text, last_text, script);
    if (first_text.size() != first_size) first.attr("text") = from_code_points(first_text);
    if (last_text.size() != last_size) last.attr("text") = from_code_points(last_text);
}

void update_impl(nb::handle transcription, nb::handle original_text) {
    nb::handle m = self_module();
    m.attr("normalise_transcription")(transcription, original_text);
    WordTexts w = read_words(transcription);
    const std::u32string script = code_points(original_text);
    alignment::Reinsertion r;
    {
        nb::gil_scoped_release release;
        r = alignment::reinsert_commands(w.texts, script);
    }
    // Also after a failure: the words keep what was inserted before it.
    for (std::size_t k : r.changed) w.words[k].attr("text") = from_code_points(w.texts[k]);
    switch (r.status) {
        case alignment::Reinsertion::Status::Ok: return;
        case alignment::Reinsertion::Status::Mismatch:
            raise_text(PyExc_Exception,
                       from_code_points(chars_message(U"", r.script_char, r.transcript_char)));
        case alignment::Reinsertion::Status::PastEnd:
            raise(PyExc_IndexError, "string index out of range");
        case alignment::Reinsertion::Status::NoWordForCommand:
            // Only reachable with a get_words that lost the words normalising found.
            raise(PyExc_IndexError, "list index out of range");
    }
}

nb::object split_impl(nb::handle transcription, nb::handle scenes) {
    WordTexts w = read_words(transcription);
    // Scene texts up to the first that is not a str: the walk fails there, unless it failed
    // on an earlier scene already.
    std::vector<std::u32string> scene_texts;
    nb::handle bad_scene;
    for (nb::handle scene : scenes) {
        if (!PyUnicode_Check(scene.ptr())) {
            bad_scene = scene;
            break;
        }
        scene_texts.push_back(code_points(scene));
    }
    alignment::SceneSplit s;
    {
        nb::gil_scoped_release release;
        s = alignment::split_by_scenes(w.texts, scene_texts);
    }
    using Status = alignment::SceneSplit::Status;
    if (s.status == Status::Mismatch)
        raise_text(PyExc_Exception,
                   from_code_points(chars_message(U"[lexor] Character missmatch: ", s.scene_char,
                                                  s.transcript_char)));
    if (s.status == Status::PastEnd) raise(PyExc_IndexError, "string index out of range");
    if (bad_scene.is_valid()) {
        const char* type = Py_TYPE(bad_scene.ptr())->tp_name;
        if (!PyObject_HasAttrString(bad_scene.ptr(), "__iter__"))
            raise(PyExc_TypeError, std::string("'") + type + "' object is not iterable");
        raise(PyExc_TypeError, std::string("scene texts must be str, not ") + type);
    }
    if (s.status == Status::NoWords) raise(PyExc_IndexError, "list index out of range");
    nb::list result;
    for (const auto& scene : s.scenes) {
        nb::list words;
        for (std::size_t k : scene) words.append(w.words[k]);
        result.append(words);
    }
    return result;
}

}  // namespace

void register_alignment(nb::module_& m) {
    m.def(
        "get_words",
        [](nb::args args, nb::kwargs kwargs) {
            static const Signature& sig = declare({"get_words", {arg("transcription")}});
            auto v = parse(sig, args, kwargs);
            return words_of(v[0]);
        },
        nb::sig("def get_words(transcription: Transcription) -> list[Word]"),
        "Every word of the transcription in reading order (the transcription's own objects).");

    m.def(
        "normalise_transcription",
        [](nb::args args, nb::kwargs kwargs) {
            static const Signature& sig =
                declare({"normalise_transcription",
                         {arg("transcription"), arg("original_text", Kind::Str)}});
            auto v = parse(sig, args, kwargs);
            normalise_impl(v[0], v[1]);
        },
        nb::sig("def normalise_transcription(transcription: Transcription, original_text: str) "
                "-> None"),
        "Trim the space in front of the first word and behind the last where original_text "
        "has none.");

    m.def(
        "update_transcription",
        [](nb::args args, nb::kwargs kwargs) {
            static const Signature& sig =
                declare({"update_transcription",
                         {arg("transcription"), arg("original_text", Kind::Str)}});
            auto v = parse(sig, args, kwargs);
            update_impl(v[0], v[1]);
        },
        nb::sig("def update_transcription(transcription: Transcription, original_text: str) "
                "-> None"),
        "Update transcription based on original_text");

    m.def(
        "split_by_scenes",
        [](nb::args args, nb::kwargs kwargs) {
            static const Signature& sig = declare(
                {"split_by_scenes", {arg("transcription"), arg("scenes", Kind::List)}});
            auto v = parse(sig, args, kwargs);
            return split_impl(v[0], v[1]);
        },
        nb::sig("def split_by_scenes(transcription: Transcription, scenes: list[str]) -> "
                "list[list[Word]]"),
        "Content has to be exactly the same");
}

}  // namespace vestrel::lexor
