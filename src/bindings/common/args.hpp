// Argument checks shared by every public function of the package.
//
// A function declares its signature once; `parse` matches (args, kwargs) against it and
// raises the TypeErrors a caller of the package expects:
//   "Argument 'x' has incorrect type (expected str, got NoneType)"
//   "f() takes exactly 2 positional arguments (1 given)"
//   "f() got an unexpected keyword argument 'x'"
//   "f() got multiple values for argument 'x'"
//   "f() missing 1 required keyword-only argument: 'x'"
// Every check runs before the caller stores or calls anything.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace vestrel::py {

namespace nb = nanobind;

enum class Kind {
    Any,       // stored unchanged
    Str,       // exactly str
    Int,       // exactly int (a bool is refused)
    List,      // exactly list
    Tuple,     // exactly tuple
    Dict,      // exactly dict
    Float,     // anything with __float__ or __index__, converted to float
    Bool,      // truth value, converted to bool
    IntTrunc,  // any real number, converted with int() (truncation toward zero)
    Instance,  // an instance of `type` (subclasses allowed)
};

struct Param {
    const char* name;
    Kind kind = Kind::Any;
    bool allow_none = false;     // None accepted (and passed on as None)
    bool required = true;        // no default
    nb::object default_value{};  // used when not required and not given
    bool keyword_only = false;
    nb::handle type{};           // for Kind::Instance
    const char* type_name = nullptr;  // expected-type name for Kind::Instance
    bool var_keyword = false;    // **name: collects the keywords no other parameter takes
    nb::object annotation{};     // shown by inspect.signature (invalid: none)
    nb::object shown_default{};  // the default inspect.signature shows, when it differs from
                                 // the checked one (a route's File(...) or Form(None))

    // The same parameter with an annotation.
    Param operator|(nb::handle ann) const {
        Param p = *this;
        p.annotation = nb::borrow(ann);
        return p;
    }
    // The same parameter showing `shown` as its default.
    Param shows(nb::handle shown) const {
        Param p = *this;
        p.shown_default = nb::borrow(shown);
        return p;
    }
};

// Shorthands for declaring parameters.
Param arg(const char* name, Kind kind = Kind::Any);
Param opt(const char* name, Kind kind, nb::object default_value);  // optional, None not allowed
Param opt_none(const char* name, Kind kind, nb::object default_value = nb::none());
Param req_none(const char* name, Kind kind);  // required, None allowed
Param kwonly(Param p);
Param var_keyword(const char* name);  // **name, always last

struct Signature {
    std::string name;              // function name used in messages ("__init__" for constructors)
    std::vector<Param> params;     // positional-or-keyword parameters first, then keyword-only
    bool bound = false;            // a method or constructor: counts include `self`
};

// Signatures hold Python objects (defaults); declare.hpp makes one per declared callable
// with `declare`, which keeps it for the life of the process: a static destroyed after the
// interpreter has finalised would release Python objects too late and crash at exit. The
// same holds for any other Python object kept in a C++ static: keep it as a leaked handle.
const Signature& declare(Signature sig);

// Matches the call against the signature, checks and converts every value, and returns
// one object per parameter in declaration order (defaults filled in).
std::vector<nb::object> parse(const Signature& sig, nb::handle args, nb::handle kwargs);

// The same check as for a declared parameter, for values reached some other way.
nb::object check_value(const Param& p, nb::handle value);

// Raises TypeError "Argument 'name' has incorrect type (expected E, got G)".
[[noreturn]] void raise_arg_type(const char* name, const char* expected, nb::handle got);

}  // namespace vestrel::py
