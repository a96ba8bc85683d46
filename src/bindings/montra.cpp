// vestrel.montra: edit model, silence removal and the Resolve edit assembly.
#include <nanobind/nanobind.h>

namespace nb = nanobind;

NB_MODULE(montra, m) {
    m.attr("Captions") = nb::module_::import_("vestrel.captions").attr("Captions");
    m.attr("lumora") = nb::module_::import_("vestrel.lumora");
}
