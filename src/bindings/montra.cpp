// vestrel.montra: edit model, silence removal and the Resolve edit assembly.
#include "bindings/common/errors.hpp"
#include "bindings/common/pyutil.hpp"
#include "bindings/montra/parts.hpp"

using namespace vestrel::bind::montra;

NB_MODULE(montra, m) {
    this_module.set(m);
    register_error_translator();
    // Bound at load and read at call time through these attributes.
    m.attr("Captions") = import("vestrel.captions").attr("Captions");
    m.attr("lumora") = import("vestrel.lumora");
    register_silence(m);
    register_edit(m);
    register_assembly(m);
}
