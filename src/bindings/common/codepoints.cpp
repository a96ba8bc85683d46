#include "bindings/common/codepoints.hpp"

namespace vestrel::py {

void append_code_points(std::u32string& out, nb::handle s) {
    PyObject* o = s.ptr();
    const Py_ssize_t n = PyUnicode_GET_LENGTH(o);
    const int kind = PyUnicode_KIND(o);
    const void* data = PyUnicode_DATA(o);
    const size_t base = out.size();
    out.resize(base + static_cast<size_t>(n));
    char32_t* dst = out.data() + base;
    switch (kind) {
        case PyUnicode_1BYTE_KIND: {
            const Py_UCS1* p = static_cast<const Py_UCS1*>(data);
            for (Py_ssize_t i = 0; i < n; ++i) dst[i] = p[i];
            break;
        }
        case PyUnicode_2BYTE_KIND: {
            const Py_UCS2* p = static_cast<const Py_UCS2*>(data);
            for (Py_ssize_t i = 0; i < n; ++i) dst[i] = p[i];
            break;
        }
        default: {
            const Py_UCS4* p = static_cast<const Py_UCS4*>(data);
            for (Py_ssize_t i = 0; i < n; ++i) dst[i] = p[i];
            break;
        }
    }
}

std::u32string code_points(nb::handle s) {
    std::u32string out;
    append_code_points(out, s);
    return out;
}

nb::str from_code_points(std::u32string_view cps) {
    PyObject* o = PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, cps.data(),
                                            static_cast<Py_ssize_t>(cps.size()));
    if (!o) throw nb::python_error();
    return nb::steal<nb::str>(o);
}

}  // namespace vestrel::py
