// Printing the traceback of an error caught in C++.
//
// An error raised in C++ and caught in C++ has passed no Python frame, so it carries no
// traceback and traceback.print_exception would print only its last line. Python code
// catching the same error would show at least the frame it was caught in; this gives the
// caught error the innermost Python frame running (the caller of the binding) first.
#pragma once

#include <nanobind/nanobind.h>

namespace vestrel::py {

namespace nb = nanobind;

// traceback.print_exception of a caught error, always headed "Traceback (most recent
// call last):".
void print_caught(const nb::python_error& e);

}  // namespace vestrel::py
