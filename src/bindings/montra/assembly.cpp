#include "bindings/montra/parts.hpp"

namespace vestrel::montra {

void register_assembly(nb::module_&) {}

}  // namespace vestrel::montra
