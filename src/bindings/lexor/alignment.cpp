// The words of a transcription, command re-insertion and the split by scene: the texts are
// read once, the core does the walk with the GIL released, and only changed texts are
// written back.
#include <string>
#include <vector>

#include "bindings/common/codepoints.hpp"
#include "bindings/common/pyutil.hpp"
#include "bindings/lexor/parts.hpp"
#include "core/alignment.hpp"

namespace vestrel::bind::lexor {

namespace {

// Raises Exception("<prefix><a> != <b>"), the characters kept exact (surrogates included).
[[noreturn]] void raise_mismatch(std::u32string_view prefix, char32_t a, char32_t b) {
    std::u32string msg(prefix);
    msg += a;
    msg += U" != ";
    msg += b;
    PyErr_SetObject(PyExc_Exception, from_code_points(msg).ptr());
    throw nb::python_error();
}

// The word objects and their texts as code points, in reading order, through the module's
// own get_words (read at call time, as every caller sees it).
struct WordTexts {
    std::vector<nb::object> words;
    std::vector<std::u32string> texts;
};

WordTexts read_words(nb::handle transcription) {
    WordTexts w;
    for (nb::handle word : this_module.attr("get_words")(transcription)) {
        // Checked to be a str as joining the texts requires.
        nb::object text = word.attr("text");
        if (!PyUnicode_Check(text.ptr()))
            raise(PyExc_TypeError, "sequence item " + std::to_string(w.words.size()) +
                                       ": expected str instance, " +
                                       Py_TYPE(text.ptr())->tp_name + " found");
        w.texts.push_back(code_points(text));
        w.words.push_back(nb::borrow(word));
    }
    return w;
}

nb::object get_words(const Args& a) {
    nb::list words;
    for (nb::handle segment : a["transcription"].attr("segments"))
        for (nb::handle word : segment.attr("words")) words.append(word);
    return words;
}

// The text of a word for normalising, with the error of calling `method` on a non-str.
std::u32string normalise_text(nb::handle word, const char* method) {
    nb::object text = word.attr("text");
    if (!PyUnicode_Check(text.ptr()))
        raise(PyExc_AttributeError, std::string("'") + Py_TYPE(text.ptr())->tp_name +
                                        "' object has no attribute '" + method + "'");
    return code_points(text);
}

nb::object normalise_transcription(const Args& a) {
    nb::object words = this_module.attr("get_words")(a["transcription"]);
    nb::object first = words[0];  // IndexError for a transcription without words
    nb::object last = words[-1];
    const std::u32string script = code_points(a["original_text"]);
    // With one word, both trims act on the same text.
    const bool one = first.is(last);
    std::u32string first_text = normalise_text(first, "startswith");
    std::u32string last_text = one ? std::u32string() : normalise_text(last, "endswith");
    std::u32string& last_ref = one ? first_text : last_text;
    const std::size_t first_size = first_text.size(), last_size = last_ref.size();
    alignment::normalise(first_text, last_ref, script);
    if (first_text.size() != first_size) first.attr("text") = from_code_points(first_text);
    if (!one && last_text.size() != last_size) last.attr("text") = from_code_points(last_text);
    return nb::none();
}

nb::object update_transcription(const Args& a) {
    this_module.attr("normalise_transcription")(a["transcription"], a["original_text"]);
    WordTexts w = read_words(a["transcription"]);
    const std::u32string script = code_points(a["original_text"]);
    alignment::Reinsertion r;
    {
        nb::gil_scoped_release release;
        r = alignment::reinsert_commands(w.texts, script);
    }
    // Also after a failure: the words keep what was inserted before it.
    for (std::size_t k : r.changed) w.words[k].attr("text") = from_code_points(w.texts[k]);
    switch (r.status) {
        case alignment::Reinsertion::Status::Ok: return nb::none();
        case alignment::Reinsertion::Status::Mismatch:
            raise_mismatch(U"", r.script_char, r.transcript_char);
        case alignment::Reinsertion::Status::PastEnd:
            raise(PyExc_IndexError, "string index out of range");
        case alignment::Reinsertion::Status::NoWordForCommand:
            // Only reachable with a get_words that lost the words normalising found.
            raise(PyExc_IndexError, "list index out of range");
    }
    return nb::none();
}

nb::object split_by_scenes(const Args& a) {
    WordTexts w = read_words(a["transcription"]);
    // Scene texts up to the first that is not a str: the walk fails there, unless it failed
    // on an earlier scene already.
    std::vector<std::u32string> scene_texts;
    nb::handle bad_scene;
    for (nb::handle scene : a["scenes"]) {
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
        raise_mismatch(U"[lexor] Character missmatch: ", s.scene_char, s.transcript_char);
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
    const nb::object transcription = m.attr("Transcription"), words = list_of(m.attr("Word"));
    const Param script = arg("original_text", Kind::Str) | str_type();
    def(m, {{"get_words", {arg("transcription") | transcription}, get_words,
             "Every word of the transcription in reading order (the transcription's own "
             "objects).",
             words},
            {"normalise_transcription", {arg("transcription") | transcription, script},
             normalise_transcription,
             "Trim the space in front of the first word and behind the last where "
             "original_text has none.",
             nb::none()},
            {"update_transcription", {arg("transcription") | transcription, script},
             update_transcription, "Update transcription based on original_text", nb::none()},
            {"split_by_scenes",
             {arg("transcription") | transcription,
              arg("scenes", Kind::List) | list_of(str_type())},
             split_by_scenes, "Content has to be exactly the same", list_of(words)}});
}

}  // namespace vestrel::bind::lexor
