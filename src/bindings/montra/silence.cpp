// Silence removal: remove_silence_from_audio, _remove_silence_pydub, PYDUB_AVAILABLE.
//
// pydub loads and exports the audio; its AudioSegment and detect_nonsilent are module globals
// bound at load and read at each call. For pydub's own segments and detection, finding the
// non-silent stretches and joining the kept ones run in the core on the decoded PCM, with the
// GIL released, and give exactly what pydub gives.
#include <nanobind/nanobind.h>
#include <nanobind/stl/array.h>
#include <nanobind/stl/vector.h>

#include <new>
#include <stdexcept>
#include <vector>

#include "bindings/common/pyutil.hpp"
#include "bindings/common/values.hpp"
#include "bindings/montra/parts.hpp"
#include "core/limits.hpp"
#include "core/silence.hpp"

namespace vestrel::bind::montra {

namespace {

using silence::Pcm;
using silence::Range;

// A read-only view of a bytes-like object, held while the GIL is released.
class Buffer {
public:
    explicit Buffer(nb::handle obj) {
        if (PyObject_GetBuffer(obj.ptr(), &view_, PyBUF_SIMPLE) != 0) throw nb::python_error();
    }
    ~Buffer() { PyBuffer_Release(&view_); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    const std::uint8_t* data() const { return static_cast<const std::uint8_t*>(view_.buf); }
    std::size_t size() const { return static_cast<std::size_t>(view_.len); }
    // The bytes as `format` describes them (its data and size are replaced).
    Pcm pcm(Pcm format) const {
        format.data = data();
        format.size = size();
        return format;
    }

private:
    Py_buffer view_{};
};

// Raises the Python error the audio library itself raises for the same input.
[[noreturn]] void raise_pcm_error(const silence::PcmError& e) {
    nb::object type;
    try {
        type = e.kind == silence::PcmError::Kind::TooManyMissingFrames
                   ? import("pydub.exceptions").attr("TooManyMissingFrames")
                   : import("pydub.audio_segment").attr("audioop").attr("error");
    } catch (nb::python_error&) {
    }
    raise(type.is_valid() ? type.ptr() : PyExc_ValueError, e.what());
}

// Runs core work without the GIL; core failures become Python exceptions here, so that the
// stage's own handler sees them as it sees the audio library's.
template <class F>
auto run_core(F&& work) {
    try {
        nb::gil_scoped_release release;
        return work();
    } catch (const silence::PcmError& e) {
        raise_pcm_error(e);
    } catch (const std::invalid_argument& e) {
        raise(PyExc_ValueError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        throw nb::python_error();
    }
}

// The sample format of an audio segment (no data).
Pcm format_of(nb::handle segment) {
    return {.sample_width = nb::cast<int>(segment.attr("sample_width")),
            .channels = nb::cast<int>(segment.attr("channels")),
            .frame_rate = nb::cast<int>(segment.attr("frame_rate"))};
}

nb::list ranges_to_list(const std::vector<Range>& ranges) {
    return nb::list(nb::cast(silence::as_pairs(ranges)));
}

// A module global as the stage's code reads it: a NameError when the import at load failed.
nb::object global(const char* name) {
    if (!nb::hasattr(this_module.get(), name))
        raise(PyExc_NameError, std::string("name '") + name + "' is not defined");
    return this_module.attr(name);
}

// A name of the audio library, or None when the library cannot be imported (its stand-ins
// set as the module globals are then used as they are).
nb::object library_name(const char* module, const char* name) {
    try {
        return nb::module_::import_(module).attr(name);
    } catch (nb::python_error& e) {
        if (e.matches(PyExc_ImportError) || e.matches(PyExc_AttributeError)) return nb::none();
        throw;
    }
}

// `start, end = pair`
std::pair<nb::object, nb::object> unpack_pair(nb::handle pair) {
    nb::object items = checked(PySequence_Tuple(pair.ptr()));
    const Py_ssize_t n = PyTuple_GET_SIZE(items.ptr());
    if (n < 2)
        raise(PyExc_ValueError,
              "not enough values to unpack (expected 2, got " + std::to_string(n) + ")");
    if (n > 2) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    return {nb::borrow(PyTuple_GET_ITEM(items.ptr(), 0)),
            nb::borrow(PyTuple_GET_ITEM(items.ptr(), 1))};
}

// The kept stretches joined by the pause: starting from an empty segment, each slice is
// appended, and the pause after every slice but the last.
nb::object append_segments(nb::handle audio_segment, nb::handle audio, nb::handle ranges,
                           nb::handle pause) {
    nb::object output = audio_segment.attr("empty")();
    const size_t count = nb::len(ranges);
    size_t i = 0;
    for (nb::handle pair : ranges) {
        auto [start, end] = unpack_pair(pair);
        output += audio[nb::slice(start, end, nb::none())];
        if (++i < count) output += pause;
    }
    return output;
}

// The same result for the library's own segments, built in one pass by the core when the
// appends would convert only the pause (silence::joins_unconverted); None otherwise.
nb::object join_segments(nb::handle audio_segment, nb::handle audio, nb::handle raw, const Pcm& pcm,
                         const std::vector<Range>& ranges, nb::handle pause) {
    const Pcm pause_format = ranges.size() > 1 ? format_of(pause) : Pcm{};  // none for one
    if (!silence::joins_unconverted(pcm, pause_format, ranges.size())) return nb::none();

    // The pause as every append converts it: appended to an empty slice of the audio.
    nb::object pause_raw = nb::bytes("", 0);
    if (ranges.size() > 1)
        pause_raw = (audio[nb::slice(0, 0)] + nb::borrow(pause)).attr("raw_data");
    Buffer pause_view(pause_raw);
    Buffer source(raw);
    const Pcm view = source.pcm(pcm);
    const std::size_t total =
        run_core([&] { return silence::joined_size(view, ranges, pause_view.size()); });
    nb::object data = checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total)));
    auto* out = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(data.ptr()));
    run_core([&] {
        silence::join(view, ranges, pause_view.data(), pause_view.size(), out);
        return 0;
    });
    return audio_segment(nb::arg("data") = data, nb::arg("sample_width") = pcm.sample_width,
                         nb::arg("frame_rate") = pcm.frame_rate,
                         nb::arg("channels") = pcm.channels);
}

nb::object remove_silence_pydub(nb::handle input_audio, nb::handle output_audio,
                                double min_silence_duration) {
    try {
        nb::object audio_segment = global("AudioSegment");
        nb::object detect = global("detect_nonsilent");
        nb::object audio = audio_segment.attr("from_file")(input_audio);

        // pydub's own detection on pydub's own segment runs in the core; a detection function
        // or segment class put in their place is called as it is.
        nb::object library_class = library_name("pydub", "AudioSegment");
        const bool library_audio = !library_class.is_none() && audio_segment.is(library_class) &&
                                   Py_TYPE(audio.ptr()) == (PyTypeObject*)library_class.ptr();
        const bool in_core =
            library_audio && detect.is(library_name("pydub.silence", "detect_nonsilent"));

        nb::object raw;
        Pcm pcm;
        std::vector<Range> core_ranges;
        nb::object ranges;
        if (in_core) {
            raw = audio.attr("raw_data");
            Buffer source(raw);
            pcm = source.pcm(format_of(audio));
            core_ranges = run_core([&] { return silence::detect_nonsilent(pcm, 100, -60.0); });
            ranges = ranges_to_list(core_ranges);
        } else {
            ranges = detect(audio, nb::arg("min_silence_len") = 100,
                            nb::arg("silence_thresh") = -60);
        }
        if (!truthy(ranges)) {
            print("[montra] Warning: No non-silent audio detected, returning original");
            return nb::borrow(input_audio);
        }

        // The pause goes only between two stretches: with one stretch none is built (its
        // length would cost memory for nothing).
        const size_t stretches = nb::len(ranges);
        nb::object pause = nb::none();
        if (stretches > 1) {
            // int(min_silence_duration * 1000): truncation toward zero, refusing inf and nan.
            nb::object pause_ms =
                checked(PyNumber_Long(nb::float_(min_silence_duration * 1000.0).ptr()));
            pause = audio_segment.attr("silent")(nb::arg("duration") = pause_ms);
        }

        nb::object result = nb::none();
        if (in_core && (pause.is_none() ||
                        Py_TYPE(pause.ptr()) == (PyTypeObject*)library_class.ptr()))
            result = join_segments(audio_segment, audio, raw, pcm, core_ranges, pause);
        if (result.is_none()) result = append_segments(audio_segment, audio, ranges, pause);

        nb::object format = output_audio.attr("split")(".")[nb::int_(-1)].attr("lower")();
        if (format.equal(nb::str("mp3")))
            result.attr("export")(output_audio, nb::arg("format") = "mp3",
                                  nb::arg("bitrate") = "192k");
        else
            result.attr("export")(output_audio, nb::arg("format") = format);

        // py::print by its full name: nanobind's print also takes a Python object.
        py::print(nb::str("[montra] Silence removed (pydub): {} -> {}")
                      .format(input_audio, output_audio));
        print("[montra] Kept " + std::to_string(stretches) + " non-silent segments with " +
              float_str(min_silence_duration) + "s pauses");
        return nb::borrow(output_audio);
    } catch (nb::python_error& e) {
        if (!error_is(e, PyExc_Exception)) throw;
        nb::object caught = exception_value(e);
        print_exception(caught);
        nb::str message = nb::str("Pydub silence removal failed: {!s}").format(caught);
        nb::object exc = checked(PyObject_CallOneArg(PyExc_Exception, message.ptr()));
        // Raised while the caught error is handled: it is the context, not the cause. The
        // caught error is made the handled one for the raise, so that an error the caller is
        // handling does not take its place as the context.
        PyObject* handled = PyErr_GetHandledException();
        PyErr_SetHandledException(caught.ptr());
        PyErr_SetObject(PyExc_Exception, exc.ptr());
        PyErr_SetHandledException(handled);
        Py_XDECREF(handled);
        throw nb::python_error();
    }
}

// `from pydub import AudioSegment` and `from pydub.silence import detect_nonsilent`: each name
// imported becomes a module global; the flag says whether both did.
bool import_pydub(nb::module_& m) {
    const std::pair<const char*, const char*> names[] = {{"pydub", "AudioSegment"},
                                                         {"pydub.silence", "detect_nonsilent"}};
    for (auto [module, name] : names) {
        // A name missing from the package is what `from X import name` reports as an
        // ImportError.
        nb::object value = library_name(module, name);
        if (value.is_none()) return false;
        m.attr(name) = value;
    }
    return true;
}

nb::object remove_silence_from_audio(const Args& a) {
    nb::handle input_audio = a["input_audio"];
    if (!limits::pause_in_range(a.number("min_silence_duration")))
        raise(PyExc_ValueError, "min_silence_duration must be between 0 and 10 seconds");
    nb::object os_path = import("os").attr("path");
    if (!truthy(os_path.attr("exists")(input_audio))) {
        nb::str message = nb::str("Input audio file not found: {}").format(input_audio);
        PyErr_SetObject(PyExc_Exception, message.ptr());  // the path as given, any code point
        throw nb::python_error();
    }
    nb::object parts = os_path.attr("splitext")(input_audio);
    nb::str output_path = nb::str("{}_no_silence{}").format(parts[0], parts[1]);
    if (!truthy(this_module.attr("PYDUB_AVAILABLE")))
        raise(PyExc_Exception,
              "pydub is required for silence removal. Install it with: pip install "
              "vestrel[audio]");
    return this_module.attr("_remove_silence_pydub")(input_audio, output_path,
                                                     a["min_silence_duration"]);
}

nb::object detect_nonsilent(const Args& a) {
    Buffer source(a["raw_data"]);
    const Pcm pcm = source.pcm({.sample_width = nb::cast<int>(a["sample_width"]),
                                .channels = nb::cast<int>(a["channels"]),
                                .frame_rate = nb::cast<int>(a["frame_rate"])});
    const auto min_len = nb::cast<std::int64_t>(a["min_silence_len"]);
    const double thresh = a.number("silence_thresh");
    const auto step = nb::cast<std::int64_t>(a["seek_step"]);
    return ranges_to_list(
        run_core([&] { return silence::detect_nonsilent(pcm, min_len, thresh, step); }));
}

}  // namespace

void register_silence(nb::module_& m) {
    m.attr("PYDUB_AVAILABLE") = nb::bool_(import_pydub(m));

    const Param input = arg("input_audio", Kind::Str) | str_type();
    const Param pause = opt("min_silence_duration", Kind::Float, nb::float_(0.3)) | float_type();
    auto int_arg = [](const char* name) { return arg(name, Kind::Int) | int_type(); };
    def(m,
        {{"remove_silence_from_audio", {input, pause}, remove_silence_from_audio,
          "Writes a copy of the audio file with every pause between stretches of speech "
          "replaced\nby a pause of min_silence_duration seconds; returns the new file's path "
          "(or the\ninput path when no speech was found).",
          str_type()},
         {"_remove_silence_pydub", {input, arg("output_audio", Kind::Str) | str_type(), pause},
          [](const Args& a) {
              return remove_silence_pydub(a["input_audio"], a["output_audio"],
                                          a.number("min_silence_duration"));
          },
          "Remove silence using pydub - more reliable than FFmpeg for this task.\n"
          "Keeps min_silence_duration seconds of silence between non-silent segments.",
          str_type()},
         {"_detect_nonsilent",
          {arg("raw_data") | type_of(&PyBytes_Type), int_arg("sample_width"), int_arg("channels"),
           int_arg("frame_rate"), opt("min_silence_len", Kind::Int, nb::int_(100)) | int_type(),
           opt("silence_thresh", Kind::Float, nb::float_(-60.0)) | float_type(),
           opt("seek_step", Kind::Int, nb::int_(1)) | int_type()},
          detect_nonsilent,
          "Non-silent [start_ms, end_ms] ranges of interleaved PCM, as the audio library's\n"
          "detect_nonsilent finds them (used by the tests and the benchmark).",
          list_of(list_of(int_type()))}});
}

}  // namespace vestrel::bind::montra
