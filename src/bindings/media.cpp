// vestrel.media
#include <nanobind/nanobind.h>

namespace nb = nanobind;

NB_MODULE(media, m) {}
