// Python str <-> code points without a round trip through UTF-8 (lone surrogates survive).
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <string_view>

namespace vestrel::py {

namespace nb = nanobind;

// The code points of a str (the caller has checked that it is one).
std::u32string code_points(nb::handle s);
// Appends them to `out`.
void append_code_points(std::u32string& out, nb::handle s);
// A new str from code points.
nb::str from_code_points(std::u32string_view cps);

}  // namespace vestrel::py
