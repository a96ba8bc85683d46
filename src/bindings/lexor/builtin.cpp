// The "builtin" model: word timings from the core's aligner (espeak-ng reference and DTW),
// with no model file and no outside package.
#include <cerrno>
#include <stdexcept>
#include <string>

#include "bindings/common/codepoints.hpp"
#include "bindings/common/pyutil.hpp"
#include "bindings/lexor/parts.hpp"
#include "core/audio_decode.hpp"
#include "core/word_align.hpp"

namespace vestrel::bind::lexor {

namespace {

// The path as the file system sees it (os.fsencode: lone surrogates stand for raw bytes).
std::string fs_path(nb::handle s) {
    nb::object bytes = checked(PyUnicode_EncodeFSDefault(s.ptr()));
    return std::string(PyBytes_AS_STRING(bytes.ptr()),
                       static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.ptr())));
}

}  // namespace

nb::object builtin_transcription(nb::handle audio_filepath, nb::handle reference_text,
                                 nb::handle language) {
    const std::string path = fs_path(audio_filepath);
    const std::u32string text = code_points(reference_text);
    const std::string lang = utf8(language);

    // The handlers run with the GIL held again: the release ends with the try block.
    word_align::Alignment result;
    try {
        nb::gil_scoped_release release;
        result = word_align::align_text(path, text, lang);
    } catch (const std::invalid_argument& e) {
        raise(PyExc_ValueError, e.what());
    } catch (const audio::FileMissing&) {
        // As the host's own open() reports it: [Errno 2] ... with the path as given.
        errno = ENOENT;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, audio_filepath.ptr());
        throw nb::python_error();
    } catch (const std::exception& e) {
        // Every other failure of the aligner (a decoder or espeak-ng error) is a RuntimeError.
        raise(PyExc_RuntimeError, e.what());
    }

    nb::object word_type = this_module.attr("Word");
    nb::object segment_type = this_module.attr("Segment");
    nb::object transcription = this_module.attr("Transcription")();
    nb::object segments = transcription.attr("segments");
    const std::u32string_view all(text);
    for (const auto& sentence : result.sentences) {
        nb::list words;
        const auto& first = result.tokens[sentence.first];
        const auto& last = result.tokens[sentence.last - 1];
        for (std::size_t k = sentence.first; k < sentence.last; ++k) {
            const auto& t = result.tokens[k];
            words.append(word_type(from_code_points(all.substr(t.begin, t.end - t.begin)),
                                   result.times[k].start, result.times[k].end));
        }
        segments.attr("append")(segment_type(
            from_code_points(all.substr(first.begin, last.end - first.begin)),
            result.times[sentence.first].start, result.times[sentence.last - 1].end, words));
    }
    return transcription;
}

}  // namespace vestrel::bind::lexor
