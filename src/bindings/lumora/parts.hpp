// vestrel.lumora is split by area: context and projects, media pool and timeline, render.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

#include "bindings/common/values.hpp"

namespace vestrel::lumora {

namespace nb = nanobind;

void register_context(nb::module_& m);
void register_media(nb::module_& m);
void register_render(nb::module_& m);

// The module object, kept for the life of the process.
nb::handle self();

// A module function looked up at call time, so a replaced attribute is the one called.
inline nb::object fn(const char* name) { return self().attr(name); }

// Truth value as the host tests it (None, False, 0, empty are falsy).
using py::truthy;

// raise RuntimeError(message)
[[noreturn]] void fail(const std::string& message);

// The host's log line "[lumora] " + text.
void log(const std::string& text);

// str(obj) as the host writes it into a log line.
std::string text_of(nb::handle obj);

}  // namespace vestrel::lumora
