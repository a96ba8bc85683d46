// Captions: the overall time span, the gap closing between lines and the timing report.
#include <string>

#include "bindings/captions/parts.hpp"
#include "bindings/common/args.hpp"
#include "bindings/common/pyutil.hpp"
#include "core/captions.hpp"

namespace vestrel::captions_py {

using namespace vestrel::py;

namespace {

// [x.name for x in seq] for the live sequence.
nb::object collect(nb::handle seq, const char* name) {
    nb::list out;
    for (nb::handle x : seq) out.append(x.attr(name));
    return out;
}

nb::object start_of(nb::handle self) {
    return import("builtins").attr("min")(collect(self.attr("lines"), "start"));
}

nb::object end_of(nb::handle self) {
    return import("builtins").attr("max")(collect(self.attr("lines"), "end"));
}

nb::object duration_of(nb::handle self) {
    nb::object end = end_of(self);
    nb::object start = start_of(self);
    nb::object d = end - start;
    self.attr("_duration") = d;
    return d;
}

// format(x, ".3f") of a time as given (int or float).
std::string fixed(nb::handle x) {
    nb::object s = nb::steal(PyObject_Format(x.ptr(), nb::str(".3f").ptr()));
    if (!s.is_valid()) throw nb::python_error();
    return utf8(s);
}

// "[<start>s - <end>s] (<end - start>s) '<text>'"
std::string span_row(nb::handle start, nb::handle end, nb::handle text) {
    nb::object d = nb::borrow(end) - nb::borrow(start);
    return "[" + fixed(start) + "s - " + fixed(end) + "s] (" + fixed(d) + "s) '" + str(text) + "'";
}

// The methods take `self` among their arguments, so that a call without it (through the
// class) gets the same count message as any other wrong count.
void print_timing_debug(nb::args args, nb::kwargs kwargs) {
    static const Signature& sig = declare(
        {"_print_timing_debug", {arg("self"), opt("stage", Kind::Str, nb::str(""))}});
    auto v = parse(sig, args, kwargs);
    nb::handle self = v[0];
    const std::string stage = utf8(v[1]);
    nb::object lines = self.attr("lines");
    const std::string stage_str = stage.empty() ? "" : " (" + stage + ")";
    print("[Captions] Timing Debug" + stage_str + ": " + std::to_string(nb::len(lines)) +
          " lines");
    size_t i = 0;
    for (nb::handle line : lines) {
        nb::object preview =
            line.attr("text")[nb::slice(nb::none(), nb::int_(60), nb::none())].attr("replace")(
                "\n", " ");
        print("  Line " + std::to_string(i) + ": " +
              span_row(line.attr("start"), line.attr("end"), preview));
        nb::object words = line.attr("words");
        // A line without words (an empty list, or none at all) has no word rows.
        const int has_words = PyObject_IsTrue(words.ptr());
        if (has_words < 0) throw nb::python_error();
        const size_t count = has_words ? nb::len(words) : 0;
        for (size_t j = 0; j < count && j < 5; ++j) {
            nb::object w = words[j];
            print("    Word " + std::to_string(j) + ": " +
                  span_row(w.attr("start"), w.attr("end"), w.attr("text")));
        }
        if (count > 5) print("    ... and " + std::to_string(count - 5) + " more words");
        ++i;
    }
}

void adjust_timing(nb::args args, nb::kwargs kwargs) {
    static const Signature& sig = declare({"adjust_timing", {arg("self")}});
    auto v = parse(sig, args, kwargs);
    nb::handle self = v[0];
    nb::object lines = self.attr("lines");
    const size_t n = nb::len(lines);
    // Pairs are taken one after the other: a line listed twice sees its own change.
    for (size_t i = 0; i + 1 < n; ++i) {
        nb::object line = lines[i], next = lines[i + 1];
        nb::object next_start = next.attr("start");
        if (captions::closes_gap(seconds(line.attr("end")), seconds(next_start)))
            line.attr("end") = next_start;
    }
    self.attr("_print_timing_debug")("after adjust_timing");
}

nb::object property(nb::object (*getter)(nb::handle), const char* name, const char* doc) {
    return import("builtins").attr("property")(nb::cpp_function(getter, nb::name(name)),
                                               nb::none(), nb::none(), doc);
}

}  // namespace

void add_timing(nb::dict& ns) {
    ns["start"] = property(start_of, "start", "The smallest start of all lines, in seconds.");
    ns["end"] = property(end_of, "end", "The largest end of all lines, in seconds.");
    ns["duration"] = property(duration_of, "duration",
                              "End minus start of all lines; also kept in _duration.");
    ns["adjust_timing"] = documented(
        nb::cpp_function(adjust_timing), "adjust_timing",
        "Closes gaps between consecutive lines, in place, then prints the timing report.",
        "Captions");
    ns["_print_timing_debug"] = documented(
        nb::cpp_function(print_timing_debug), "_print_timing_debug",
        "Debug print: Show all caption lines with their start/end times", "Captions");
}

}  // namespace vestrel::captions_py
