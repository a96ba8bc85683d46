// One declaration per callable.
//
// A function of the package is declared once, as an `Fn`: its name, its parameters (kind,
// default, annotation), its docstring and its body. Everything else is derived from that
// declaration here: the argument check with the TypeError texts of args.hpp, the
// inspect.Signature and the __text_signature__ that help() and inspect show, the plain
// __doc__, and, for methods, the binding to `self`. Bodies read their arguments by name:
//
//     def(m, {"greet", {arg("name", Kind::Str) | str_type(), opt("times", Kind::Int, 1)},
//             [](const Args& a) -> nb::object { ... a["name"] ... },
//             "Says hello."});
#pragma once

#include <nanobind/nanobind.h>

#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "bindings/common/args.hpp"

namespace vestrel::py {

// The checked arguments of one call, read by parameter name.
class Args {
  public:
    Args(const Signature& sig, std::vector<nb::object> values)
        : sig_(&sig), values_(std::move(values)) {}

    // The value of a declared parameter (its default when not given). Asking for a name
    // that is not declared is a programming error and throws std::logic_error.
    nb::handle operator[](std::string_view name) const;
    // The same value as UTF-8 text (the parameter must hold a str), as a float (any number),
    // or its truth value.
    std::string text(std::string_view name) const;
    double number(std::string_view name) const;
    bool flag(std::string_view name) const;
    bool is_none(std::string_view name) const { return (*this)[name].is_none(); }

  private:
    const Signature* sig_;
    std::vector<nb::object> values_;
};

using Body = std::function<nb::object(const Args&)>;

struct Fn {
    const char* name;
    std::vector<Param> params;  // a method declares "self" first
    Body body;
    const char* doc = nullptr;  // nullptr: no docstring (None)
    nb::object returns{};       // return annotation (invalid: none shown)
};

// The checked call: parses (args, kwargs) against the declaration and runs the body.
nb::object call(const Signature& sig, const Body& body, nb::handle args, nb::handle kwargs);

// inspect.Signature of a parameter list; `skip_self` leaves out a leading "self" (as a
// class's own signature shows its constructor).
nb::object inspect_signature(const std::vector<Param>& params, nb::handle returns = {},
                             bool skip_self = false);

// The callable of a declaration: checked, with plain __doc__, __name__, __qualname__,
// __module__, __signature__ and __text_signature__. `owner` names the class it is placed in
// (it then binds as a method), or is null.
nb::object make_function(nb::handle module, const Fn& fn, const char* owner = nullptr);

// Module functions: each stored as module attribute `fn.name`.
void def(nb::module_& m, std::initializer_list<Fn> fns);
// Functions placed in a class namespace `ns` of class `owner` (methods; static ones with
// def_static).
void def_methods(nb::handle module, nb::dict ns, const char* owner, std::initializer_list<Fn> fns);
void def_static(nb::handle module, nb::dict ns, const char* owner, std::initializer_list<Fn> fns);

// A class of the host, made as Python's `class` statement makes it: the metaclass of `base`
// (default: object) called with (name, (base,), ns); __module__ and __doc__ set; stored as
// module attribute `name`. `ns` holds its methods (def_methods, def_init).
nb::object make_class(nb::handle module, const char* name, const char* doc,
                      nb::dict ns = nb::dict(), nb::handle base = nb::handle());

// A constructor in class namespace `ns`: "__init__" declared with self first and `params`
// after (the body reads a["self"] and the parameters by name). The class's own signature,
// `params` without self, is set by `set_class_signature` once the class exists.
void def_init(nb::handle module, nb::dict ns, const char* owner, const std::vector<Param>& params,
              Body body);
void set_class_signature(nb::handle cls, const std::vector<Param>& params);
// A class with a constructor, in one step: def_init, make_class, set_class_signature.
nb::object make_class(nb::handle module, const char* name, const char* doc,
                      const std::vector<Param>& params, Body init, nb::dict ns = nb::dict());

// staticmethod(fn)
nb::object static_method(nb::handle fn);

// Annotations of the host's built-in types, and their unions.
nb::object type_of(PyTypeObject* t);
nb::object str_type();
nb::object int_type();
nb::object float_type();
nb::object bool_type();
nb::object list_type();
nb::object or_none(nb::handle type);    // type | None
nb::object optional(nb::handle type);   // typing.Optional[type]
nb::object list_of(nb::handle type);    // list[type]

}  // namespace vestrel::py
