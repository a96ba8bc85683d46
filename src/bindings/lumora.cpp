// vestrel.lumora
#include <nanobind/nanobind.h>

namespace nb = nanobind;

NB_MODULE(lumora, m) {}
