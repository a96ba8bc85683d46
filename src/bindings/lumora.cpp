// vestrel.lumora: the only caller of DaVinci Resolve.
#include "bindings/common/errors.hpp"
#include "bindings/lumora/parts.hpp"

using namespace vestrel::bind::lumora;

NB_MODULE(lumora, m) {
    this_module.set(m);
    register_error_translator();
    m.doc() = "lumora\nDirect DaVinci Resolve scripting helpers.";
    register_context(m);
    register_media(m);
    register_render(m);
}
