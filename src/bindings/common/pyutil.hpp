// Small helpers every binding uses: printing through sys.stdout, Python-style number
// formatting, raising built-in exceptions with exact texts, tracebacks, module attributes.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <string_view>

namespace vestrel::py {

namespace nb = nanobind;

// print(text) through the host's print, so output interleaves with Python output and
// pytest captures it.
void print(std::string_view text);
void print(nb::handle obj);
// print(text, file=sys.stderr)
void eprint(std::string_view text);

// str(x) for a float as Python writes it ("2.5", "3.0", "1e-05").
std::string float_str(double x);
// format(x, fmt) of a Python value as given (an int stays an int: format(2, ".3f") is
// "2.000"), e.g. format(x, ".3f") for times in log lines.
std::string format(nb::handle x, const char* fmt);
// str(obj)
std::string str(nb::handle obj);

// Raise a built-in exception with an exact message.
[[noreturn]] void raise(PyObject* type, const std::string& message);
// Raise `type(message)` while `context` is being handled: the new exception's
// __context__ is `context` and __cause__ stays unset.
[[noreturn]] void raise_with_context(PyObject* type, const std::string& message,
                                     nb::handle context);

// traceback.print_exception(exc) to standard error: the caught exception's own traceback,
// always headed "Traceback (most recent call last):".
void print_exception(const nb::python_error& e);
void print_exception(nb::handle exc);

// str(exc); should that fail, the exception type's name, so an error always has a text to
// record. `from_str`, when given, tells which of the two it is.
nb::object exception_text(nb::handle exc, bool* from_str = nullptr);

// The exception value carried by a caught nb::python_error (a new reference).
nb::object exception_value(const nb::python_error& e);

// True if a caught error is an instance of `type` (an ordinary Exception, KeyError, ...).
bool error_is(const nb::python_error& e, PyObject* type);

// A new reference returned by the C API, or the Python error it raised.
inline nb::object checked(PyObject* result) {
    if (!result) throw nb::python_error();
    return nb::steal(result);
}

// Imports a module of the host (cached by the import system itself).
nb::object import(const char* name);

// Converts a Python str to UTF-8.
std::string utf8(nb::handle s);

// Holds a Python lock (threading.Lock) for the life of the guard: acquire() on entry (it
// waits with the GIL released), release() on exit; a failed release is reported as
// unraisable, since a destructor cannot raise.
class HeldLock {
  public:
    explicit HeldLock(nb::object lock);
    ~HeldLock();
    HeldLock(const HeldLock&) = delete;
    HeldLock& operator=(const HeldLock&) = delete;

  private:
    nb::object lock_;
};

}  // namespace vestrel::py
