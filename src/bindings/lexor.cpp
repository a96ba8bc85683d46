// vestrel.lexor
#include <nanobind/nanobind.h>

namespace nb = nanobind;

NB_MODULE(lexor, m) {}
