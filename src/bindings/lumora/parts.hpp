// vestrel.lumora is split by area: context and projects, media pool and timeline, render.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

#include "bindings/common/declare.hpp"
#include "bindings/common/module.hpp"
#include "bindings/common/pyutil.hpp"
#include "bindings/common/values.hpp"

namespace vestrel::bind::lumora {

namespace nb = nanobind;
using namespace vestrel::py;

// vestrel.lumora; its functions call each other through it, at call time, so a replaced
// attribute is the one called.
inline ModuleRef this_module;

void register_context(nb::module_& m);
void register_media(nb::module_& m);
void register_render(nb::module_& m);

[[noreturn]] inline void fail(const std::string& message) { raise(PyExc_RuntimeError, message); }
inline void log(const std::string& text) { print("[lumora] " + text); }
// The start of most operations.
inline nb::object current_project() { return this_module.attr("get_current_project")(); }

}  // namespace vestrel::bind::lumora
