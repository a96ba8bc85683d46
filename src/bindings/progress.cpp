// vestrel.progress: the stage reporter of the running or last generation and its render.
//
// It lives in a module of its own so that the pipeline (brevano), the generation route
// (endpoints), the render routes (studio) and the command line reach the same reporter
// without importing one another. The state itself is the core's Reporter.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "bindings/common/errors.hpp"
#include "bindings/common/function.hpp"
#include "bindings/common/module.hpp"
#include "core/progress.hpp"

namespace vestrel::bind::progress {

namespace nb = nanobind;
using namespace vestrel::progress;

// vestrel.progress, for its Cancelled class.
inline vestrel::py::ModuleRef this_module;

namespace {

// A name that is no stage throws std::invalid_argument, which nanobind raises as ValueError
// ("Unknown stage: <name>").
Reporter& reporter() {
    // One per process, never destroyed (threads may still report while the process ends).
    static Reporter* r = new Reporter();
    return *r;
}

nb::str text(std::string_view s) { return nb::str(s.data(), s.size()); }

nb::dict snapshot_dict() {
    const Snapshot s = reporter().snapshot();
    nb::list stages;
    for (size_t i = 0; i < kStages.size(); ++i) {
        nb::dict st;
        st["name"] = text(kStages[i]);
        st["state"] = text(state_name(s.stages[i].state));
        const auto& seconds = s.stages[i].seconds;
        st["seconds"] = seconds ? nb::object(nb::float_(*seconds)) : nb::none();
        stages.append(st);
    }
    auto name_or_none = [](int i) { return i < 0 ? nb::object(nb::none()) : text(kStages[i]); };
    nb::dict d;
    d["stage"] = name_or_none(s.running_stage >= 0 ? s.running_stage : s.failed_stage);
    d["stages"] = stages;
    d["error"] = s.error ? nb::object(nb::str(s.error->c_str())) : nb::none();
    d["failed_stage"] = name_or_none(s.failed_stage);
    d["active"] = s.active;
    d["cancel_requested"] = s.cancel_requested;
    return d;
}

}  // namespace

}  // namespace vestrel::bind::progress

using namespace vestrel::bind::progress;

NB_MODULE(progress, m) {
    this_module.set(m);
    vestrel::py::register_error_translator();
    m.doc() = "progress\nStage reporter of the running or last generation and its render.";
    nb::list names;
    for (std::string_view s : kStages) names.append(text(s));
    m.attr("STAGES") = nb::tuple(names);

    nb::dict ns;
    ns["__module__"] = m.attr("__name__");
    ns["__doc__"] = "Raised at a stage boundary when the run was asked to stop.";
    nb::object cancelled = nb::borrow<nb::object>((PyObject*)&PyType_Type)(
        "Cancelled", nb::make_tuple(nb::borrow((PyObject*)PyExc_Exception)), ns);
    m.attr("Cancelled") = cancelled;

    m.def("begin_run", [] { reporter().begin_run(); },
          "A new run begins: every stage pending, no error, no cancel request.");
    m.def("rollback_run", [] { reporter().rollback_run(); },
          "Puts back the state from before the last begin_run (a run refused at once).");
    m.def("end_run", [] { reporter().end_run(); },
          "The run has ended; a cancel request that came too late lapses.");
    m.def(
        "start_stage",
        [](const std::string& name) {
            if (!reporter().start(name)) {
                nb::object type = this_module.attr("Cancelled");
                PyErr_SetObject(type.ptr(), nb::str("Cancelled").ptr());
                throw nb::python_error();
            }
        },
        nb::arg("name"),
        "The stage begins; raises Cancelled (and marks the stage failed) when a cancel was "
        "requested.");
    m.def("finish_stage", [](const std::string& name) { reporter().finish(name); },
          nb::arg("name"), "The stage is done.");
    m.def("skip_stage", [](const std::string& name) { reporter().skip(name); }, nb::arg("name"),
          "The stage does not apply to this run.");
    m.def("fail_stage",
          [](const std::string& name, const std::string& error) { reporter().fail(name, error); },
          nb::arg("name"), nb::arg("error"), "The stage failed with the given text; the run ends.");
    m.def("request_cancel", [] { return reporter().request_cancel(); },
          "Asks the run (or a running render) to stop at the next stage boundary; False when "
          "nothing runs.");
    m.def("cancel_requested", [] { return reporter().cancel_requested(); },
          "Whether a stop was asked for and not yet honoured.");
    m.def("snapshot", &snapshot_dict,
          "The stages with their states and seconds, the running or failed stage, the error.");
    vestrel::py::finalize_functions(m);
}
