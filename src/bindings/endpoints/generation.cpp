// Generation status and the generation routes.
#include "bindings/common/args.hpp"
#include "bindings/common/pyutil.hpp"
#include "bindings/common/values.hpp"
#include "bindings/endpoints/module.hpp"
#include "bindings/common/route.hpp"
#include "bindings/endpoints/routes.hpp"

namespace vestrel::endpoints {

namespace {

using namespace vestrel::py;

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

nb::handle type_of(PyTypeObject* t) { return nb::handle(reinterpret_cast<PyObject*>(t)); }

// pydantic.create_model(name, __module__="vestrel.endpoints", **fields), fields in order.
nb::object create_model(nb::module_& m, const char* name, nb::dict fields) {
    nb::dict kwargs;
    kwargs["__module__"] = m.attr("__name__");
    for (auto [key, value] : fields) kwargs[key] = value;
    nb::object create = nb::module_::import_("pydantic").attr("create_model");
    nb::object model =
        nb::steal(PyObject_Call(create.ptr(), nb::make_tuple(name).ptr(), kwargs.ptr()));
    if (!model.is_valid()) throw nb::python_error();
    m.attr(name) = model;
    return model;
}

void register_request_models(nb::module_& m) {
    nb::object typing = nb::module_::import_("typing");
    nb::handle str_t = type_of(&PyUnicode_Type), int_t = type_of(&PyLong_Type),
               bool_t = type_of(&PyBool_Type), float_t = type_of(&PyFloat_Type),
               tuple_t = type_of(&PyTuple_Type);
    nb::object required = nb::borrow(Py_Ellipsis);
    // str | None (a types.UnionType) and Optional[str] (a typing.Optional), as declared.
    nb::object str_or_none = nb::steal(PyNumber_Or(str_t.ptr(), Py_None));
    if (!str_or_none.is_valid()) throw nb::python_error();
    nb::object optional_str = typing.attr("Optional")[str_t];
    nb::object triple = nb::module_::import_("types").attr("GenericAlias")(
        tuple_t, nb::make_tuple(int_t, int_t, int_t));

    nb::dict video;
    video["background_id"] = nb::make_tuple(str_t, required);
    video["brightness"] = nb::make_tuple(int_t, 100);
    video["contrast"] = nb::make_tuple(int_t, 100);
    video["saturation"] = nb::make_tuple(int_t, 100);
    video["color_tone"] = nb::make_tuple(triple, nb::make_tuple(100, 100, 100));
    nb::object video_dto = create_model(m, "BrevanoBackgroundVideoDTO", video);

    nb::dict scene;
    scene["caption"] = nb::make_tuple(str_t, required);
    scene["background"] = nb::make_tuple(video_dto, required);
    nb::object scene_dto = create_model(m, "BrevanoSceneDTO", scene);

    nb::dict request;
    request["scenes"] = nb::make_tuple(typing.attr("List")[scene_dto], required);
    request["bg_music_id"] = nb::make_tuple(str_or_none, nb::none());
    request["tts_engine"] = nb::make_tuple(str_t, "edge");
    request["edge_voice_name"] = nb::make_tuple(optional_str, nb::none());
    request["eleven_voice_id"] = nb::make_tuple(optional_str, nb::none());
    request["eleven_api_key"] = nb::make_tuple(optional_str, nb::none());
    request["whisper_model"] = nb::make_tuple(str_t, "medium");
    request["language"] = nb::make_tuple(str_t, "de");
    request["chars_per_line"] = nb::make_tuple(int_t, 25);
    request["remove_silence"] = nb::make_tuple(bool_t, false);
    request["min_silence_duration"] = nb::make_tuple(float_t, 0.3);
    request["davinci_project_name"] = nb::make_tuple(str_t, "tolvane_2026");
    request["davinci_template_path"] = nb::make_tuple(str_or_none, nb::none());
    request["pexels_api_key"] = nb::make_tuple(optional_str, nb::none());
    create_model(m, "BrevanoRequest", request);
}

// str(exc); should that fail, the exception type's name, so a status is always recorded.
nb::object exception_text(nb::handle exc) {
    nb::object s = nb::steal(PyObject_Str(exc.ptr()));
    if (s.is_valid()) return s;
    PyErr_Clear();
    return nb::str(Py_TYPE(exc.ptr())->tp_name);
}

// Holds _status_lock for the life of the guard (the lock waits with the GIL released).
class StatusLock {
  public:
    StatusLock() : lock_(self_module().attr("_status_lock")) { lock_.attr("acquire")(); }
    ~StatusLock() {
        PyObject* r = PyObject_CallMethod(lock_.ptr(), "release", nullptr);
        if (r)
            Py_DECREF(r);
        else
            PyErr_WriteUnraisable(lock_.ptr());
    }
    StatusLock(const StatusLock&) = delete;
    StatusLock& operator=(const StatusLock&) = delete;

  private:
    nb::object lock_;
};

// The status and error that an accepted request replaced, put back if it is refused later.
struct Previous {
    nb::object status, error;
    void restore() const {
        nb::handle mod = self_module();
        StatusLock held;
        mod.attr("_status") = status;
        mod.attr("_last_error") = error;
    }
};

// The check "a generation is running" and the marking of GENERATING, as one step under the
// lock: of two requests that arrive together exactly one gets past here.
bool claim_generation(Previous& previous) {
    nb::handle mod = self_module();
    nb::object generating = status_member("GENERATING");
    StatusLock held;
    nb::object current = mod.attr("_status");
    if (current.equal(generating)) return false;
    previous.status = current;
    previous.error = mod.attr("_last_error");
    mod.attr("_status") = generating;
    mod.attr("_last_error") = nb::none();
    return true;
}

void record_error(nb::handle exc) {
    self_module().attr("set_status")(status_member("ERROR"), exception_text(exc));
}

// The shared stage reporter (the pipeline marks its stages there, this route "media").
nb::object progress() { return import("vestrel.progress"); }

// A run is active and its "media" stage runs: begun by the caller of the route.
bool media_stage_running() {
    nb::object snap = progress().attr("snapshot")();
    if (!truthy(snap["active"])) return false;
    return nb::object(snap["stages"][nb::int_(0)]["state"]).equal(nb::str("running"));
}

// _generation_worker(data): runs one generation and always leaves DONE or ERROR behind.
nb::object generation_worker(nb::handle data) {
    nb::handle mod = self_module();
    try {
        mod.attr("set_status")(status_member("GENERATING"));
        mod.attr("generate_short")(data);
        mod.attr("set_status")(status_member("DONE"));
    } catch (nb::python_error& e) {
        progress().attr("end_run")();
        if (error_is(e, PyExc_Exception)) {
            print_exception(e);
            record_error(e.value());
            return nb::none();
        }
        // An exit or interrupt still ends the thread, but never leaves GENERATING behind,
        // which would refuse every later generation.
        record_error(e.value());
        throw;
    }
    // The run is over however the pipeline ended it: a late cancel request lapses.
    progress().attr("end_run")();
    return nb::none();
}

// A request refused with 400 after it has claimed GENERATING (too many scenes, a named
// template that the media library does not find): the previous status is put back.
// `context` is the error being handled when the refusal was decided, if any.
struct Refusal {
    nb::object detail;
    nb::object context{};
};

// Steps 3 to 9 of a generation request: media resolved, input built, thread started.
void build_and_start(nb::handle req) {
    nb::handle mod = self_module();
    nb::list scenes;
    for (nb::handle dto : req.attr("scenes")) {
        nb::object bg = dto.attr("background");
        nb::object path = mod.attr("media").attr("resolve_background_video")(
            bg.attr("background_id"), req.attr("pexels_api_key"));
        nb::object video = mod.attr("BrevanoBackgroundVideo")(
            nb::arg("filepath") = path, nb::arg("brightness") = bg.attr("brightness"),
            nb::arg("contrast") = bg.attr("contrast"),
            nb::arg("saturation") = bg.attr("saturation"),
            nb::arg("color_tone") = bg.attr("color_tone"));
        scenes.append(mod.attr("BrevanoScene")(nb::arg("caption") = dto.attr("caption"),
                                               nb::arg("bg_video") = video));
    }

    nb::object music = nb::none();
    nb::object music_id = req.attr("bg_music_id");
    if (truthy(music_id)) music = mod.attr("media").attr("resolve_background_music")(music_id);

    nb::object voice_path = mod.attr("media").attr("generate_voice_output_path")();

    nb::object template_path = req.attr("davinci_template_path");
    if (truthy(template_path)) {
        try {
            template_path = mod.attr("media").attr("get_template")(template_path);
        } catch (nb::python_error& e) {
            if (!error_is(e, PyExc_FileNotFoundError)) throw;
            throw Refusal{exception_text(e.value()), nb::borrow(e.value())};
        }
    }

    nb::dict kw;
    kw["scenes"] = scenes;
    kw["bg_music_filepath"] = music;
    kw["voice_output_filepath"] = voice_path;
    for (const char* name : {"tts_engine", "edge_voice_name", "eleven_voice_id", "eleven_api_key",
                             "davinci_project_name"})
        kw[name] = req.attr(name);
    kw["davinci_template_path"] = template_path;
    for (const char* name : {"pexels_api_key", "whisper_model", "language", "chars_per_line",
                             "remove_silence", "min_silence_duration"})
        kw[name] = req.attr(name);
    nb::object input_type = mod.attr("BrevanoInput");
    nb::object data = nb::steal(PyObject_Call(input_type.ptr(), nb::tuple().ptr(), kw.ptr()));
    if (!data.is_valid()) throw nb::python_error();
    progress().attr("finish_stage")("media");

    nb::object thread =
        nb::module_::import_("threading")
            .attr("Thread")(nb::arg("target") = mod.attr("_generation_worker"),
                            nb::arg("args") = nb::make_tuple(data), nb::arg("daemon") = true);
    thread.attr("start")();
}

nb::object brevano_generate(nb::handle req) {
    // 1. Refused while a generation runs; otherwise this request now owns GENERATING.
    Previous previous;
    if (!claim_generation(previous)) raise_http(409, "Generation already running");
    // Stage "media": the request's identifiers resolved to files, up to the thread start. A
    // caller that has begun the run with its own media work (the command line adds local
    // files to the library first) has it continued.
    const bool began = !media_stage_running();
    if (began) {
        progress().attr("begin_run")();
        progress().attr("start_stage")("media");
    }

    // 2. Scene count, then 3.-9. A refusal answers 400 and changes nothing; any other
    // failure is recorded as the generation error and answered with 500.
    try {
        if (nb::len(nb::object(req.attr("scenes"))) > 6)
            throw Refusal{nb::str("Maximum 6 scenes allowed")};
        build_and_start(req);
    } catch (Refusal& refused) {
        previous.restore();
        if (began) progress().attr("rollback_run")();
        raise_http(400, refused.detail, refused.context);
    } catch (nb::python_error& e) {
        if (!error_is(e, PyExc_Exception)) {
            previous.restore();
            if (began) progress().attr("rollback_run")();
            throw;
        }
        print_exception(e);
        nb::object text = exception_text(e.value());
        self_module().attr("set_status")(status_member("ERROR"), text);
        progress().attr("fail_stage")("media", text);
        raise_http(500, text, e.value());
    } catch (...) {
        previous.restore();
        if (began) progress().attr("rollback_run")();
        throw;
    }

    // 10.
    nb::dict answer;
    answer["success"] = true;
    answer["status"] = "started";
    return answer;
}

}  // namespace

void register_generation_state(nb::module_& m) {
    nb::object enum_mod = nb::module_::import_("enum");
    nb::list members;
    for (auto [name, value] : {std::pair{"IDLE", "idle"},
                               {"GENERATING", "generating"},
                               {"DONE", "done"},
                               {"ERROR", "error"}})
        members.append(nb::make_tuple(name, value));
    nb::object status_type = enum_mod.attr("Enum")(
        "BrevanoStatus", members,
        nb::arg("type") = nb::handle(reinterpret_cast<PyObject*>(&PyUnicode_Type)),
        nb::arg("module") = m.attr("__name__"));
    m.attr("BrevanoStatus") = status_type;
    m.attr("_status") = status_type.attr("IDLE");
    m.attr("_last_error") = nb::none();
    m.attr("_status_lock") = nb::module_::import_("threading").attr("Lock")();
    register_request_models(m);

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
    m.def(
        "_generation_worker",
        [](nb::args args, nb::kwargs kwargs) {
            static const Signature& sig = declare({"_generation_worker", {arg("data")}});
            auto v = parse(sig, args, kwargs);
            return generation_worker(v[0]);
        },
        "Body of the generation thread: runs generate_short and records DONE or ERROR.");
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
    // No docstring: the framework shows no description for this route.
    add_route(m, router, "post", "/brevano/generate", "brevano_generate", nullptr,
              {{"req", m.attr("BrevanoRequest")}},
              [](nb::args args, nb::kwargs kwargs) -> nb::object {
                  static const Signature& sig = declare({"brevano_generate", {arg("req")}});
                  auto v = parse(sig, args, kwargs);
                  return brevano_generate(v[0]);
              });
}

}  // namespace vestrel::endpoints
