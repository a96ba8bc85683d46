// vestrel.montra: edit model, silence removal and the Resolve edit assembly.
#include <nanobind/nanobind.h>

#include "bindings/common/function.hpp"
#include "bindings/montra/parts.hpp"

namespace nb = nanobind;

nb::handle vestrel::montra::self_module() {
    // Released, so nothing is left to destroy at interpreter shutdown.
    static nb::handle m = nb::module_::import_("vestrel.montra").release();
    return m;
}

NB_MODULE(montra, m) {
    // Bound at load and read at call time through these attributes.
    m.attr("Captions") = nb::module_::import_("vestrel.captions").attr("Captions");
    m.attr("lumora") = nb::module_::import_("vestrel.lumora");
    vestrel::montra::register_silence(m);
    vestrel::montra::register_edit(m);
    vestrel::montra::register_assembly(m);
    vestrel::py::finalize_functions(m);
}
