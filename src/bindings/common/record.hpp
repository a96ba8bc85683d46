// Value records made by the host's dataclass machinery, so that constructors, equality,
// repr and per-instance list defaults behave exactly as a generated record's do.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <vector>

namespace vestrel::py {

namespace nb = nanobind;

struct Field {
    enum class Default { None, Value, EmptyList };
    const char* name;
    const char* annotation;  // a type name shown in the record's annotations ("str", "float")
    Default kind = Default::None;
    nb::object value{};      // for Default::Value
};

Field field(const char* name, const char* annotation);
Field field(const char* name, const char* annotation, nb::object default_value);
Field list_field(const char* name, const char* annotation);  // default: a fresh empty list

// Creates the record class `module.name` with the given fields; `namespace_` may add methods
// (nanobind functions created with nb::is_method()), properties or class attributes.
nb::object make_record(nb::module_& module, const char* name, const std::vector<Field>& fields,
                       nb::dict namespace_ = nb::dict());

}  // namespace vestrel::py
