#include "bindings/common/args.hpp"

#include <cstring>

namespace vestrel::py {

Param arg(const char* name, Kind kind) {
    Param p;
    p.name = name;
    p.kind = kind;
    return p;
}

Param opt(const char* name, Kind kind, nb::object default_value) {
    Param p = arg(name, kind);
    p.required = false;
    p.default_value = std::move(default_value);
    return p;
}

Param opt_none(const char* name, Kind kind, nb::object default_value) {
    Param p = opt(name, kind, std::move(default_value));
    p.allow_none = true;
    return p;
}

Param req_none(const char* name, Kind kind) {
    Param p = arg(name, kind);
    p.allow_none = true;
    return p;
}

const Signature& declare(Signature sig) { return *new Signature(std::move(sig)); }

Param kwonly(Param p) {
    p.keyword_only = true;
    return p;
}

Param var_keyword(const char* name) {
    Param p = arg(name);
    p.required = false;
    p.keyword_only = true;
    p.var_keyword = true;
    return p;
}

namespace {

const char* kind_name(const Param& p) {
    switch (p.kind) {
        case Kind::Str: return "str";
        case Kind::Int: return "int";
        case Kind::IntTrunc: return "int";
        case Kind::List: return "list";
        case Kind::Tuple: return "tuple";
        case Kind::Dict: return "dict";
        case Kind::Float: return "float";
        case Kind::Bool: return "bool";
        case Kind::Instance: return p.type_name ? p.type_name : "object";
        case Kind::Any: return "object";
    }
    return "object";
}

[[noreturn]] void raise_type_error(const std::string& msg) {
    PyErr_SetString(PyExc_TypeError, msg.c_str());
    throw nb::python_error();
}

bool is_real_number(PyObject* o) {
    if (PyUnicode_Check(o) || PyBytes_Check(o) || PyByteArray_Check(o)) return false;
    PyNumberMethods* nm = Py_TYPE(o)->tp_as_number;
    return nm && (nm->nb_float || nm->nb_index || nm->nb_int);
}

}  // namespace

void raise_arg_type(const char* name, const char* expected, nb::handle got) {
    std::string msg = "Argument '";
    msg += std::string(name).substr(0, 200);
    msg += "' has incorrect type (expected ";
    msg += std::string(expected).substr(0, 200);
    msg += ", got ";
    msg += std::string(Py_TYPE(got.ptr())->tp_name).substr(0, 200);
    msg += ")";
    raise_type_error(msg);
}

nb::object check_value(const Param& p, nb::handle v) {
    PyObject* o = v.ptr();
    if (o == Py_None && p.allow_none) return nb::none();
    switch (p.kind) {
        case Kind::Any: return nb::borrow(v);
        case Kind::Str:
            if (!PyUnicode_CheckExact(o)) raise_arg_type(p.name, "str", v);
            return nb::borrow(v);
        case Kind::Int:
            if (!PyLong_CheckExact(o)) raise_arg_type(p.name, "int", v);
            return nb::borrow(v);
        case Kind::List:
            if (!PyList_CheckExact(o)) raise_arg_type(p.name, "list", v);
            return nb::borrow(v);
        case Kind::Tuple:
            if (!PyTuple_CheckExact(o)) raise_arg_type(p.name, "tuple", v);
            return nb::borrow(v);
        case Kind::Dict:
            if (!PyDict_CheckExact(o)) raise_arg_type(p.name, "dict", v);
            return nb::borrow(v);
        case Kind::Float: {
            // The host's own conversion: refuses text with "must be real number, not str".
            double d = PyFloat_AsDouble(o);
            if (d == -1.0 && PyErr_Occurred()) throw nb::python_error();
            return nb::steal(PyFloat_FromDouble(d));
        }
        case Kind::Bool: {
            int t = PyObject_IsTrue(o);
            if (t < 0) throw nb::python_error();
            return nb::bool_(t != 0);
        }
        case Kind::IntTrunc: {
            if (PyLong_CheckExact(o)) return nb::borrow(v);
            if (!is_real_number(o)) raise_arg_type(p.name, "int", v);
            PyObject* r = PyNumber_Long(o);
            if (!r) throw nb::python_error();
            return nb::steal(r);
        }
        case Kind::Instance: {
            int ok = PyObject_IsInstance(o, p.type.ptr());
            if (ok < 0) throw nb::python_error();
            if (!ok) raise_arg_type(p.name, kind_name(p), v);
            return nb::borrow(v);
        }
    }
    return nb::borrow(v);
}

std::vector<nb::object> parse(const Signature& sig, nb::handle args, nb::handle kwargs) {
    const Py_ssize_t extra = sig.bound ? 1 : 0;
    const Py_ssize_t nargs = args.is_valid() && !args.is_none() ? PyTuple_GET_SIZE(args.ptr()) : 0;
    PyObject* kw = kwargs.is_valid() && !kwargs.is_none() ? kwargs.ptr() : nullptr;

    Py_ssize_t npos = 0, nmin = 0;
    const Param* rest = nullptr;  // the **name parameter, if declared
    for (const Param& p : sig.params) {
        if (p.var_keyword) rest = &p;
        if (p.keyword_only) continue;
        ++npos;
        if (p.required) nmin = npos;
    }
    const std::string fname = sig.name.substr(0, 200);

    auto count_error = [&](Py_ssize_t given) {
        const bool exact = nmin == npos;
        Py_ssize_t expected;
        const char* how;
        if (given < nmin + extra) {
            expected = nmin + extra;
            how = "at least";
        } else {
            expected = npos + extra;
            how = "at most";
        }
        if (exact) how = "exactly";
        raise_type_error(fname + "() takes " + how + " " + std::to_string(expected) +
                         " positional argument" + (expected == 1 ? "" : "s") + " (" +
                         std::to_string(given) + " given)");
    };

    if (nargs > npos) count_error(nargs + extra);

    std::vector<nb::object> values(sig.params.size());
    for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = nb::borrow(PyTuple_GET_ITEM(args.ptr(), i));

    if (kw) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kw, &pos, &key, &value)) {
            const char* k = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
            if (!k) raise_type_error(fname + "() keywords must be strings");
            size_t idx = sig.params.size();
            for (size_t j = 0; j < sig.params.size(); ++j)
                if (std::strcmp(sig.params[j].name, k) == 0) idx = j;
            if (idx < sig.params.size() && sig.params[idx].var_keyword) idx = sig.params.size();
            if (idx == sig.params.size()) {
                if (!rest)
                    raise_type_error(fname + "() got an unexpected keyword argument '" + k +
                                     "'");
                nb::object& extra_kw = values[rest - sig.params.data()];
                if (!extra_kw.is_valid()) extra_kw = nb::dict();
                PyDict_SetItem(extra_kw.ptr(), key, value);
                continue;
            }
            if (values[idx].is_valid())
                raise_type_error(fname + "() got multiple values for argument '" + k + "'");
            values[idx] = nb::borrow(value);
        }
    }

    std::vector<std::string> missing_kwonly;
    Py_ssize_t posi = 0;
    for (size_t j = 0; j < sig.params.size(); ++j) {
        const Param& p = sig.params[j];
        if (p.var_keyword) {
            if (!values[j].is_valid()) values[j] = nb::dict();
            continue;
        }
        if (!values[j].is_valid()) {
            if (p.required) {
                if (p.keyword_only) {
                    missing_kwonly.push_back(p.name);
                    continue;
                }
                // The count of positional arguments that could be matched before the gap.
                count_error(posi + extra);
            }
            values[j] = p.default_value.is_valid() ? p.default_value : nb::none();
            if (!p.keyword_only) ++posi;
            continue;
        }
        if (!p.keyword_only) ++posi;
    }
    if (!missing_kwonly.empty()) {
        std::string msg = fname + "() missing " + std::to_string(missing_kwonly.size()) +
                          " required keyword-only argument" +
                          (missing_kwonly.size() == 1 ? "" : "s") + ": ";
        for (size_t i = 0; i < missing_kwonly.size(); ++i) {
            if (i) msg += (i + 1 == missing_kwonly.size()) ? (i > 1 ? ", and " : " and ") : ", ";
            msg += "'" + missing_kwonly[i] + "'";
        }
        raise_type_error(msg);
    }

    // Type checks in declaration order; defaults are taken as they are.
    for (size_t j = 0; j < sig.params.size(); ++j) {
        const Param& p = sig.params[j];
        if (p.var_keyword) continue;
        const bool given = j < static_cast<size_t>(nargs) ||
                           (kw && PyDict_GetItemString(kw, p.name) != nullptr);
        if (given) values[j] = check_value(p, values[j]);
    }
    return values;
}

}  // namespace vestrel::py
