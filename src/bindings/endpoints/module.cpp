#include "bindings/endpoints/module.hpp"

namespace vestrel::endpoints {

nb::handle self_module() {
    // Released, so nothing is left to destroy at interpreter shutdown.
    static nb::handle m = nb::module_::import_("vestrel.endpoints").release();
    return m;
}

}  // namespace vestrel::endpoints
