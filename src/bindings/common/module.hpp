// The module object of one extension module, for names read at call time.
//
// Python code reads a module global when it runs, not when it is defined: a test or a host
// that replaces `vestrel.endpoints.media` or `vestrel.tts.os` is seen by the next call. Each
// module declares one accessor,
//
//     inline py::ModuleRef self;   // in its parts.hpp
//     self.set(m);                 // first thing in NB_MODULE
//
// and reads its own globals and its neighbours (modules it imported under a global name)
// through it: self.attr("media"), self.attr("BrevanoStatus").
#pragma once

#include <nanobind/nanobind.h>

namespace vestrel::py {

namespace nb = nanobind;

class ModuleRef {
  public:
    // The module lives as long as the process (extension modules are never unloaded), so a
    // borrowed handle is enough.
    void set(nb::handle m) { module_ = m; }
    nb::handle get() const { return module_; }
    nb::object attr(const char* name) const { return module_.attr(name); }
    // module.name = value
    void set_attr(const char* name, nb::handle value) const { nb::setattr(module_, name, value); }

  private:
    nb::handle module_;
};

}  // namespace vestrel::py
