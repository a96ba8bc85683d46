// Generation status and the generation routes.
#include "bindings/brevano/settings.hpp"
#include "bindings/common/pyutil.hpp"
#include "bindings/common/values.hpp"
#include "bindings/endpoints/parts.hpp"
#include "core/limits.hpp"

namespace vestrel::bind::endpoints {

namespace {

nb::object status_member(const char* member) {
    return this_module.attr("BrevanoStatus").attr(member);
}

void register_request_models(nb::module_& m) {
    nb::object i = int_type();
    nb::object triple = import("types").attr("GenericAlias")(type_of(&PyTuple_Type),
                                                             nb::make_tuple(i, i, i));
    nb::object video = make_model(m, "BrevanoBackgroundVideoDTO",
                                  {{"background_id", str_type(), required()},
                                   {"brightness", i, nb::int_(100)},
                                   {"contrast", i, nb::int_(100)},
                                   {"saturation", i, nb::int_(100)},
                                   {"color_tone", triple, nb::make_tuple(100, 100, 100)}});
    nb::object scene = make_model(m, "BrevanoSceneDTO", {{"caption", str_type(), required()},
                                                         {"background", video, required()}});
    // The scenes and the music by its identifier, then the settings the pipeline's input
    // takes as they are (one table for both).
    make_model(m, "BrevanoRequest",
               brevano::request_fields(
                   {{"scenes", import("typing").attr("List")[scene], required()},
                    {"bg_music_id", or_none(str_type()), nb::none()}}));
}

// Holds _status_lock for the life of the guard (the lock waits with the GIL released).
struct StatusLock : HeldLock {
    StatusLock() : HeldLock(this_module.attr("_status_lock")) {}
};

// _status and _last_error together; the caller holds the status lock.
void store_status(nb::handle status, nb::handle error) {
    this_module.set_attr("_status", status);
    this_module.set_attr("_last_error", error);
}

// The status and error that an accepted request replaced, put back if it is refused later.
struct Previous {
    nb::object status, error;
    void restore() const {
        StatusLock held;
        store_status(status, error);
    }
};

// The check "a generation is running" and the marking of GENERATING, as one step under the
// lock: of two requests that arrive together exactly one gets past here.
bool claim_generation(Previous& previous) {
    nb::object generating = status_member("GENERATING");
    StatusLock held;
    nb::object current = this_module.attr("_status");
    if (current.equal(generating)) return false;
    previous.status = current;
    previous.error = this_module.attr("_last_error");
    store_status(generating, nb::none());
    return true;
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
    try {
        this_module.attr("set_status")(status_member("GENERATING"));
        this_module.attr("generate_short")(data);
        this_module.attr("set_status")(status_member("DONE"));
    } catch (nb::python_error& e) {
        progress().attr("end_run")();
        const bool ordinary = error_is(e, PyExc_Exception);
        if (ordinary) print_exception(e);
        this_module.attr("set_status")(status_member("ERROR"), exception_text(e.value()));
        // An exit or interrupt still ends the thread, but never leaves GENERATING behind,
        // which would refuse every later generation.
        if (!ordinary) throw;
        return nb::none();
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

// Bounds that keep one request from taking the server's memory (the pause is built as
// audio) or holding the only generation slot for minutes (work grows with the script).
void refuse_costly_request(nb::handle req) {
    nb::object scenes = req.attr("scenes");
    std::size_t chars = 0;  // code points of the captions
    for (nb::handle dto : scenes) chars += nb::len(nb::object(dto.attr("caption")));
    if (const char* why = limits::generation_refusal(
            nb::len(scenes), as_float(req.attr("min_silence_duration")), chars))
        throw Refusal{nb::str(why)};
}

// Steps 3 to 9 of a generation request: media resolved, input built, thread started.
void build_and_start(nb::handle req) {
    nb::object media = this_module.attr("media");
    nb::list scenes;
    for (nb::handle dto : req.attr("scenes")) {
        nb::object bg = dto.attr("background");
        nb::object path = media.attr("resolve_background_video")(bg.attr("background_id"),
                                                                 req.attr("pexels_api_key"));
        nb::dict colours;
        for (const char* name : {"brightness", "contrast", "saturation", "color_tone"})
            colours[name] = bg.attr(name);
        nb::object video =
            this_module.attr("BrevanoBackgroundVideo")(nb::arg("filepath") = path, **colours);
        scenes.append(this_module.attr("BrevanoScene")(nb::arg("caption") = dto.attr("caption"),
                                                       nb::arg("bg_video") = video));
    }
    nb::object music = nb::none();
    nb::object music_id = req.attr("bg_music_id");
    if (truthy(music_id)) music = media.attr("resolve_background_music")(music_id);
    nb::object voice_path = media.attr("generate_voice_output_path")();
    nb::object template_path = req.attr("davinci_template_path");
    if (truthy(template_path)) {
        try {
            template_path = media.attr("get_template")(template_path);
        } catch (nb::python_error& e) {
            if (!error_is(e, PyExc_FileNotFoundError)) throw;
            throw Refusal{exception_text(e.value()), nb::borrow(e.value())};
        }
    }

    nb::dict kw;
    kw["scenes"] = scenes;
    kw["bg_music_filepath"] = music;
    kw["voice_output_filepath"] = voice_path;
    // Every setting goes over as the request has it; the template as resolved above.
    for (const brevano::Setting& s : brevano::settings())
        kw[s.input.name] = req.attr(s.input.name);
    kw["davinci_template_path"] = template_path;
    nb::object data = this_module.attr("BrevanoInput")(**kw);
    progress().attr("finish_stage")("media");

    import("threading")
        .attr("Thread")(nb::arg("target") = this_module.attr("_generation_worker"),
                        nb::arg("args") = nb::make_tuple(data), nb::arg("daemon") = true)
        .attr("start")();
}

nb::object brevano_generate(const Args& a) {
    nb::handle req = a["req"];
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
    auto undo = [&] {
        previous.restore();
        if (began) progress().attr("rollback_run")();
    };

    // 2. The request's bounds, then 3.-9. A refusal answers 400 and changes nothing; any
    // other failure is recorded as the generation error and answered with 500 by the route's
    // table.
    try {
        refuse_costly_request(req);
        build_and_start(req);
    } catch (Refusal& refused) {
        undo();
        raise_http(400, refused.detail, refused.context);
    } catch (nb::python_error& e) {
        if (!error_is(e, PyExc_Exception)) {
            undo();
            throw;
        }
        bool has_text;
        nb::object text = exception_text(e.value(), &has_text);
        this_module.attr("set_status")(status_member("ERROR"), text);
        progress().attr("fail_stage")("media", text);
        // An error whose text cannot be made is answered here with its type's name, as
        // recorded; every other one by the route's table.
        if (!has_text) {
            print_exception(e);
            raise_http(500, text, e.value());
        }
        throw;
    } catch (...) {
        undo();
        throw;
    }
    // 10.
    nb::dict answer = success();
    answer["status"] = "started";
    return answer;
}

}  // namespace

void register_generation_state(nb::module_& m) {
    nb::list members;
    for (const char* name : {"IDLE", "GENERATING", "DONE", "ERROR"})
        members.append(nb::make_tuple(name, nb::str(name).attr("lower")()));
    nb::object status_type =
        import("enum").attr("Enum")("BrevanoStatus", members, nb::arg("type") = str_type(),
                                    nb::arg("module") = m.attr("__name__"));
    m.attr("BrevanoStatus") = status_type;
    m.attr("_status") = status_type.attr("IDLE");
    m.attr("_last_error") = nb::none();
    m.attr("_status_lock") = import("threading").attr("Lock")();
    register_request_models(m);

    def(m, {
        {"set_status", {arg("status"), opt_none("error", Kind::Str)},
         [](const Args& a) {
             StatusLock held;
             store_status(a["status"], a["error"]);
             return nb::none();
         },
         "Set the generation status and the last error together, under the status lock."},
        {"get_status", {},
         [](const Args&) {
             StatusLock held;
             nb::dict d;
             d["status"] = this_module.attr("_status");
             d["error"] = this_module.attr("_last_error");
             return nb::object(d);
         },
         "Snapshot of the generation status and the last error."},
        {"_generation_worker", {arg("data")},
         [](const Args& a) { return generation_worker(a["data"]); },
         "Body of the generation thread: runs generate_short and records DONE or ERROR."},
    });
}

void register_generation_routes(nb::module_& m, nb::handle router) {
    add_routes(m, router, {
        {"get", "/brevano/status", "brevano_status", {},
         [](const Args&) {
             nb::dict d;
             d["status"] = this_module.attr("get_status")();
             return nb::object(d);
         }, {}, "Returns current Brevano generation status."},
        // No docstring: the framework shows no description for this route.
        {"post", "/brevano/generate", "brevano_generate",
         {arg("req") | m.attr("BrevanoRequest")}, brevano_generate, answer_500()},
    });
}

}  // namespace vestrel::bind::endpoints
