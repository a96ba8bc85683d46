#include "bindings/montra/parts.hpp"

namespace vestrel::montra {

void register_edit(nb::module_&) {}

}  // namespace vestrel::montra
