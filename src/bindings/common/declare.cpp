#include "bindings/common/declare.hpp"

#include <nanobind/stl/function.h>
#include <nanobind/stl/string.h>

#include <stdexcept>

#include "bindings/common/function.hpp"
#include "bindings/common/pyutil.hpp"
#include "bindings/common/values.hpp"

namespace vestrel::py {

nb::handle Args::operator[](std::string_view name) const {
    for (size_t i = 0; i < sig_->params.size(); ++i)
        if (name == sig_->params[i].name) return values_[i];
    throw std::logic_error(sig_->name + "() declares no parameter '" + std::string(name) + "'");
}

std::string Args::text(std::string_view name) const { return utf8((*this)[name]); }
double Args::number(std::string_view name) const { return as_float((*this)[name]); }
bool Args::flag(std::string_view name) const { return truthy((*this)[name]); }

nb::object call(const Signature& sig, const Body& body, nb::handle args, nb::handle kwargs) {
    return body(Args(sig, parse(sig, args, kwargs)));
}

nb::object inspect_signature(const std::vector<Param>& params, nb::handle returns,
                             bool skip_self) {
    nb::object inspect = import("inspect");
    nb::object parameter = inspect.attr("Parameter");
    nb::list list;
    for (size_t i = 0; i < params.size(); ++i) {
        const Param& p = params[i];
        if (skip_self && i == 0 && std::string_view(p.name) == "self") continue;
        nb::dict kw;
        if (p.annotation.is_valid()) kw["annotation"] = p.annotation;
        if (p.shown_default.is_valid())
            kw["default"] = p.shown_default;
        else if (!p.required && !p.var_keyword)
            kw["default"] = p.default_value.is_valid() ? p.default_value : nb::none();
        const char* kind = p.var_keyword    ? "VAR_KEYWORD"
                           : p.keyword_only ? "KEYWORD_ONLY"
                                            : "POSITIONAL_OR_KEYWORD";
        list.append(parameter(p.name, parameter.attr(kind), **kw));
    }
    nb::dict kw;
    if (returns.is_valid()) kw["return_annotation"] = returns;
    return inspect.attr("Signature")(list, **kw);
}

namespace {

// Puts the derived signature on a documented callable: __signature__ for inspect and the
// same text as __text_signature__.
void sign(nb::handle fn, nb::object signature) {
    fn.attr("__text_signature__") = nb::str(signature);
    fn.attr("__signature__") = std::move(signature);
}

nb::object doc_of(const char* doc) { return doc ? nb::object(nb::str(doc)) : nb::none(); }

}  // namespace

nb::object make_function(nb::handle module, const Fn& fn, const char* owner) {
    std::string qualname = owner ? std::string(owner) + "." + fn.name : std::string(fn.name);
    const Signature& sig = declare({fn.name, fn.params});
    Body body = fn.body;
    nb::object impl = nb::cpp_function(
        [&sig, body](nb::args args, nb::kwargs kwargs) { return call(sig, body, args, kwargs); },
        nb::name(fn.name));
    nb::object wrapped =
        documented(impl, fn.name, doc_of(fn.doc), owner, module.attr("__name__"));
    sign(wrapped, inspect_signature(fn.params, fn.returns));
    return wrapped;
}

void def(nb::module_& m, std::initializer_list<Fn> fns) {
    for (const Fn& fn : fns) m.attr(fn.name) = make_function(m, fn);
}

void def_methods(nb::handle module, nb::dict ns, const char* owner,
                 std::initializer_list<Fn> fns) {
    for (const Fn& fn : fns) ns[fn.name] = make_function(module, fn, owner);
}

void def_static(nb::handle module, nb::dict ns, const char* owner,
                std::initializer_list<Fn> fns) {
    for (const Fn& fn : fns) ns[fn.name] = static_method(make_function(module, fn, owner));
}

nb::object make_class(nb::handle module, const char* name, const char* doc, nb::dict ns,
                      nb::handle base) {
    nb::handle b = base.is_valid() ? base : reinterpret_cast<PyObject*>(&PyBaseObject_Type);
    ns["__module__"] = module.attr("__name__");
    ns["__doc__"] = nb::str(doc);
    nb::handle metaclass = reinterpret_cast<PyObject*>(Py_TYPE(b.ptr()));
    nb::object cls = nb::borrow(metaclass)(nb::str(name), nb::make_tuple(b), ns);
    nb::setattr(module, name, cls);
    return cls;
}

void def_init(nb::handle module, nb::dict ns, const char* owner, const std::vector<Param>& params,
              Body body) {
    std::vector<Param> with_self{arg("self")};
    with_self.insert(with_self.end(), params.begin(), params.end());
    ns["__init__"] = make_function(module, {"__init__", with_self, std::move(body)}, owner);
}

nb::object make_class(nb::handle module, const char* name, const char* doc,
                      const std::vector<Param>& params, Body init, nb::dict ns) {
    def_init(module, ns, name, params, std::move(init));
    nb::object cls = make_class(module, name, doc, ns);
    set_class_signature(cls, params);
    return cls;
}

void set_class_signature(nb::handle cls, const std::vector<Param>& params) {
    cls.attr("__signature__") = inspect_signature(params);
}

nb::object static_method(nb::handle fn) { return import("builtins").attr("staticmethod")(fn); }

nb::object type_of(PyTypeObject* t) { return nb::borrow(reinterpret_cast<PyObject*>(t)); }
nb::object str_type() { return type_of(&PyUnicode_Type); }
nb::object int_type() { return type_of(&PyLong_Type); }
nb::object float_type() { return type_of(&PyFloat_Type); }
nb::object bool_type() { return type_of(&PyBool_Type); }
nb::object list_type() { return type_of(&PyList_Type); }

nb::object or_none(nb::handle type) {
    nb::object u = nb::steal(PyNumber_Or(type.ptr(), Py_None));
    if (!u.is_valid()) throw nb::python_error();
    return u;
}

nb::object optional(nb::handle type) { return import("typing").attr("Optional")[type]; }

nb::object list_of(nb::handle type) {
    return import("types").attr("GenericAlias")(list_type(), nb::make_tuple(type));
}

}  // namespace vestrel::py
