// Project, clip and speech routes: thin wrappers that make one call into the Resolve layer
// or the speech module and answer a small success dictionary. Any failure of that call is
// answered 500 with the exception's text, after its traceback went to standard error.
#include "bindings/common/pyutil.hpp"
#include "bindings/common/route.hpp"
#include "bindings/common/values.hpp"
#include "bindings/endpoints/parts.hpp"

namespace vestrel::bind::endpoints {

namespace {

// A route that hands the request's `fields` to endpoints.lumora.<fn> (looked up at call
// time), positionally or, `by_name`, as keywords of the same names, and answers success.
Body forward(const char* fn, std::vector<const char*> fields, bool by_name = false) {
    return [=](const Args& a) {
        nb::list args;
        nb::dict kwargs;
        for (const char* f : fields) {
            nb::object value = a["req"].attr(f);
            if (by_name) kwargs[f] = value;
            else args.append(value);
        }
        this_module.attr("lumora").attr(fn)(*args, **kwargs);
        return nb::object(success());
    };
}

nb::object tts_generate(const Args& a) {
    nb::handle req = a["req"];
    // The engines open the output before any audio arrives: a name that is not an audio
    // file would let a request empty or replace any writable file.
    nb::object out = req.attr("output_path");
    if (!truthy(out.attr("lower")().attr("endswith")(nb::make_tuple(".mp3", ".wav"))))
        raise_http(400, "output_path must end in .mp3 or .wav");
    this_module.attr("generate_tts")(
        nb::arg("text") = req.attr("text"), nb::arg("outputfile") = out,
        nb::arg("engine") = req.attr("engine"), nb::arg("voice_name") = req.attr("voice_name"),
        nb::arg("voice_id") = req.attr("voice_id"), nb::arg("api_key") = req.attr("api_key"),
        nb::arg("check_credits") = req.attr("check_credits"));
    nb::dict d = success();
    d["engine"] = req.attr("engine");
    d["characters"] = nb::len(nb::object(req.attr("text")));
    d["output_path"] = out;
    return d;
}

}  // namespace

void register_project_routes(nb::module_& m, nb::handle router) {
    nb::object s = str_type(), f = float_type(), i = int_type(), b = bool_type();
    nb::object opt_s = optional(str_type());
    nb::object project = make_model(m, "ProjectRequest", {{"project_name", s, required()}});
    nb::object import_clip = make_model(m, "ImportClipRequest", {{"clip_path", s, required()},
                                                                 {"clip_name", opt_s, nb::none()}});
    nb::object add_clip = make_model(
        m, "AddClipRequest",
        {{"clip_name", s, required()}, {"start_time", f, required()}, {"duration", f, required()},
         {"track_index", i, nb::int_(1)}, {"video", b, nb::bool_(true)},
         {"audio", b, nb::bool_(true)}});
    nb::object tts = make_model(
        m, "TTSRequest",
        {{"text", s, required()}, {"engine", s, required()}, {"output_path", s, required()},
         {"voice_name", opt_s, nb::none()}, {"voice_id", opt_s, nb::none()},
         {"api_key", opt_s, nb::none()}, {"check_credits", b, nb::bool_(false)}});

    const HttpErrors e500 = answer_500();
    add_routes(m, router, {
        {"post", "/project/create", "create_project", {arg("req") | project},
         forward("create_project", {"project_name"}), e500},
        {"post", "/project/open", "open_project", {arg("req") | project},
         forward("open_project", {"project_name"}), e500},
        {"post", "/project/delete_current", "delete_current_project", {},
         forward("delete_current_project", {}), e500},
        {"post", "/media/import_clip", "import_clip", {arg("req") | import_clip},
         forward("import_clip", {"clip_path", "clip_name"}), e500},
        {"post", "/timeline/add_clip", "timeline_add_clip", {arg("req") | add_clip},
         forward("add_clip_to_timeline",
                 {"clip_name", "start_time", "duration", "track_index", "video", "audio"}, true),
         e500},
        {"post", "/tts/generate", "tts_generate", {arg("req") | tts}, tts_generate, e500},
    });
}

}  // namespace vestrel::bind::endpoints
