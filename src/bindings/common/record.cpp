#include "bindings/common/record.hpp"

#include "bindings/common/pyutil.hpp"

namespace vestrel::py {

Field field(const char* name, const char* annotation) { return Field{name, annotation}; }

Field field(const char* name, const char* annotation, nb::object default_value) {
    return Field{name, annotation, Field::Default::Value, std::move(default_value)};
}

Field list_field(const char* name, const char* annotation) {
    return Field{name, annotation, Field::Default::EmptyList, {}};
}

nb::object make_record(nb::module_& module, const char* name, const std::vector<Field>& fields,
                       nb::dict namespace_) {
    nb::object dataclasses = import("dataclasses");
    nb::object builtins = import("builtins");
    nb::list specs;
    for (const Field& f : fields) {
        nb::object ann = nb::str(f.annotation);
        if (nb::hasattr(builtins, f.annotation)) ann = builtins.attr(f.annotation);
        switch (f.kind) {
            case Field::Default::None:
                specs.append(nb::make_tuple(f.name, ann));
                break;
            case Field::Default::Value:
                specs.append(nb::make_tuple(f.name, ann, dataclasses.attr("field")(
                                                            nb::arg("default") = f.value)));
                break;
            case Field::Default::EmptyList:
                specs.append(nb::make_tuple(
                    f.name, ann,
                    dataclasses.attr("field")(nb::arg("default_factory") = builtins.attr("list"))));
                break;
        }
    }
    // make_dataclass takes `module=` only from Python 3.12 on, and from then on, without it,
    // names the module of the calling Python frame (the import machinery, when a module's
    // init runs). The namespace entry covers 3.11; the attribute set afterwards covers every
    // version.
    namespace_["__module__"] = module.attr("__name__");
    nb::object cls =
        dataclasses.attr("make_dataclass")(name, specs, nb::arg("namespace") = namespace_);
    cls.attr("__module__") = module.attr("__name__");
    module.attr(name) = cls;
    return cls;
}

}  // namespace vestrel::py
