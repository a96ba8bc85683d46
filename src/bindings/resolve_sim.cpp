// vestrel.resolve_sim
#include <nanobind/nanobind.h>

namespace nb = nanobind;

NB_MODULE(resolve_sim, m) {}
