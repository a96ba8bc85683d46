// Generation status and the generation routes.
#include "bindings/common/args.hpp"
#include "bindings/common/pyutil.hpp"
#include "bindings/endpoints/route.hpp"
#include "bindings/endpoints/routes.hpp"

namespace vestrel::endpoints {

namespace {

using namespace vestrel::py;

// The module object, looked up once and kept for the life of the process.
nb::handle self_module() {
    static nb::handle m = nb::module_::import_("vestrel.endpoints").release();
    return m;
}

nb::object status_member(const char* member) {
    return self_module().attr("BrevanoStatus").attr(member);
}

// set_status(status, error=None): both stored under _status_lock.
nb::object set_status_impl(nb::handle status, nb::handle error) {
    nb::handle m = self_module();
    nb::object lock = m.attr("_status_lock");
    lock.attr("acquire")();
    m.attr("_status") = status;
    m.attr("_last_error") = error;
    lock.attr("release")();
    return nb::none();
}

}  // namespace

void register_generation_state(nb::module_& m) {
    nb::object enum_mod = nb::module_::import_("enum");
    nb::list members;
    for (auto [name, value] : {std::pair{"IDLE", "idle"}, {"GENERATING", "generating"},
                               {"DONE", "done"}, {"ERROR", "error"}})
        members.append(nb::make_tuple(name, value));
    nb::object status_type =
        enum_mod.attr("Enum")("BrevanoStatus", members, nb::arg("type") = nb::handle(reinterpret_cast<PyObject*>(&PyUnicode_Type)),
                              nb::arg("module") = m.attr("__name__"));
    m.attr("BrevanoStatus") = status_type;
    m.attr("_status") = status_type.attr("IDLE");
    m.attr("_last_error") = nb::none();
    m.attr("_status_lock") = nb::module_::import_("threading").attr("Lock")();

    m.def(
        "set_status",
        [](nb::args args, nb::kwargs kwargs) {
            static const Signature& sig =
                declare({"set_status", {arg("status"), opt_none("error", Kind::Str)}});
            auto v = parse(sig, args, kwargs);
            return set_status_impl(v[0], v[1]);
        },
        "Set the generation status and the last error together, under the status lock.");
    m.def(
        "get_status",
        [](nb::args args, nb::kwargs kwargs) {
            static const Signature& sig = declare({"get_status", {}});
            parse(sig, args, kwargs);
            nb::handle mod = self_module();
            nb::object lock = mod.attr("_status_lock");
            lock.attr("acquire")();
            nb::dict d;
            d["status"] = mod.attr("_status");
            d["error"] = mod.attr("_last_error");
            lock.attr("release")();
            return d;
        },
        "Snapshot of the generation status and the last error.");
}

void register_generation_routes(nb::module_& m, nb::handle router) {
    add_route(m, router, "get", "/brevano/status", "brevano_status",
              "Returns current Brevano generation status.", {},
              [](nb::args args, nb::kwargs kwargs) -> nb::object {
                  static const Signature& sig = declare({"brevano_status", {}});
                  parse(sig, args, kwargs);
                  nb::dict d;
                  d["status"] = self_module().attr("get_status")();
                  return d;
              });
}

}  // namespace vestrel::endpoints
