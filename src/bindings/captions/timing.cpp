// Captions: the overall time span, the gap closing between lines and the timing report.
#include <string>

#include "bindings/captions/parts.hpp"
#include "bindings/common/pyutil.hpp"
#include "bindings/common/values.hpp"
#include "core/captions.hpp"

namespace vestrel::bind::captions {

namespace {

// min / max over [line.<name> for line in self.lines], the live list.
nb::object over_lines(nb::handle self, const char* reduce, const char* name) {
    nb::list values;
    for (nb::handle line : self.attr("lines")) values.append(line.attr(name));
    return import("builtins").attr(reduce)(values);
}

nb::object start_of(nb::handle self) { return over_lines(self, "min", "start"); }
nb::object end_of(nb::handle self) { return over_lines(self, "max", "end"); }
nb::object duration_of(nb::handle self) {
    nb::object end = end_of(self);
    nb::object d = end - start_of(self);
    self.attr("_duration") = d;
    return d;
}

// "[<start>s - <end>s] (<end - start>s) '<text>'", the times as format(x, ".3f") writes them.
std::string span_row(nb::handle start, nb::handle end, nb::handle text) {
    nb::object d = nb::borrow(end) - nb::borrow(start);
    return utf8(nb::str("[{:.3f}s - {:.3f}s] ({:.3f}s) '{!s}'").format(start, end, d, text));
}

nb::object print_timing_debug(const Args& a) {
    const std::string stage = a.text("stage");
    nb::object lines = a["self"].attr("lines");
    print("[Captions] Timing Debug" + (stage.empty() ? "" : " (" + stage + ")") + ": " +
          std::to_string(nb::len(lines)) + " lines");
    size_t i = 0;
    for (nb::handle line : lines) {
        nb::object preview =
            line.attr("text")[nb::slice(nb::none(), nb::int_(60), nb::none())].attr("replace")(
                "\n", " ");
        print("  Line " + std::to_string(i++) + ": " +
              span_row(line.attr("start"), line.attr("end"), preview));
        nb::object words = line.attr("words");
        // A line without words (an empty list, or none at all) has no word rows.
        const size_t count = truthy(words) ? nb::len(words) : 0;
        for (size_t j = 0; j < count && j < 5; ++j) {
            nb::object w = words[j];
            print("    Word " + std::to_string(j) + ": " +
                  span_row(w.attr("start"), w.attr("end"), w.attr("text")));
        }
        if (count > 5) print("    ... and " + std::to_string(count - 5) + " more words");
    }
    return nb::none();
}

nb::object adjust_timing(const Args& a) {
    nb::handle self = a["self"];
    nb::object lines = self.attr("lines");
    const size_t n = nb::len(lines);
    // Pairs are taken one after the other: a line listed twice sees its own change.
    for (size_t i = 0; i + 1 < n; ++i) {
        nb::object line = lines[i], next = lines[i + 1];
        nb::object next_start = next.attr("start");
        if (vestrel::captions::closes_gap(seconds(line.attr("end")), seconds(next_start)))
            line.attr("end") = next_start;
    }
    self.attr("_print_timing_debug")("after adjust_timing");
    return nb::none();
}

nb::object property(nb::object (*getter)(nb::handle), const char* name, const char* doc) {
    return import("builtins").attr("property")(nb::cpp_function(getter, nb::name(name)),
                                               nb::none(), nb::none(), doc);
}

}  // namespace

void add_timing(nb::module_& m, nb::dict ns) {
    ns["start"] = property(start_of, "start", "The smallest start of all lines, in seconds.");
    ns["end"] = property(end_of, "end", "The largest end of all lines, in seconds.");
    ns["duration"] = property(duration_of, "duration",
                              "End minus start of all lines; also kept in _duration.");
    // The methods take `self` among their arguments, so that a call without it (through the
    // class) gets the same count message as any other wrong count.
    def_methods(
        m, ns, "Captions",
        {{"adjust_timing", {arg("self")}, adjust_timing,
          "Closes gaps between consecutive lines, in place, then prints the timing report."},
         {"_print_timing_debug", {arg("self"), opt("stage", Kind::Str, nb::str("")) | str_type()},
          print_timing_debug, "Debug print: Show all caption lines with their start/end times"}});
}

}  // namespace vestrel::bind::captions
