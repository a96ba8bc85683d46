#include "bindings/montra/parts.hpp"

namespace vestrel::montra {

void register_silence(nb::module_&) {}

}  // namespace vestrel::montra
