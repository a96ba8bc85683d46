// Project, clip and speech routes: thin wrappers that make one call into the Resolve layer
// or the speech module and answer a small success dictionary. Any failure of that call is
// answered 500 with the exception's text, after its traceback went to standard error.
#include <functional>

#include "bindings/common/args.hpp"
#include "bindings/common/pyutil.hpp"
#include "bindings/common/values.hpp"
#include "bindings/endpoints/module.hpp"
#include "bindings/common/route.hpp"
#include "bindings/endpoints/routes.hpp"

namespace vestrel::endpoints {

namespace {

using namespace vestrel::py;

// endpoints.lumora.<name>, looked up at call time.
nb::object lumora(const char* name) { return self_module().attr("lumora").attr(name); }

// Runs the body of a route; an ordinary exception becomes HTTPException(500, str(e)).
nb::object guarded(const std::function<nb::object()>& body) {
    try {
        return body();
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        print_exception(e);
        raise_http(500, nb::str(e.value()), e.value());
    }
}

nb::dict success() {
    nb::dict d;
    d["success"] = true;
    return d;
}

// The request body of a route (FastAPI passes it as the keyword `req`).
nb::object request(const char* route, nb::args args, nb::kwargs kwargs) {
    Signature sig{route, {arg("req")}};
    return parse(sig, args, kwargs)[0];
}

void no_arguments(const char* route, nb::args args, nb::kwargs kwargs) {
    Signature sig{route, {}};
    parse(sig, args, kwargs);
}

nb::object model(const char* name, nb::dict fields) {
    nb::object create_model = import("pydantic").attr("create_model");
    fields["__module__"] = nb::str("vestrel.endpoints");
    return create_model(name, **fields);
}

}  // namespace

void register_project_routes(nb::module_& m, nb::handle router) {
    nb::object typing = import("typing");
    nb::object builtins = import("builtins");
    nb::object str_t = builtins.attr("str"), float_t = builtins.attr("float");
    nb::object int_t = builtins.attr("int"), bool_t = builtins.attr("bool");
    nb::object opt_str = typing.attr("Optional")[str_t];
    nb::object required = builtins.attr("Ellipsis");

    nb::dict project_fields;
    project_fields["project_name"] = nb::make_tuple(str_t, required);
    nb::object ProjectRequest = model("ProjectRequest", project_fields);

    nb::dict import_fields;
    import_fields["clip_path"] = nb::make_tuple(str_t, required);
    import_fields["clip_name"] = nb::make_tuple(opt_str, nb::none());
    nb::object ImportClipRequest = model("ImportClipRequest", import_fields);

    nb::dict add_fields;
    add_fields["clip_name"] = nb::make_tuple(str_t, required);
    add_fields["start_time"] = nb::make_tuple(float_t, required);
    add_fields["duration"] = nb::make_tuple(float_t, required);
    add_fields["track_index"] = nb::make_tuple(int_t, 1);
    add_fields["video"] = nb::make_tuple(bool_t, true);
    add_fields["audio"] = nb::make_tuple(bool_t, true);
    nb::object AddClipRequest = model("AddClipRequest", add_fields);

    nb::dict tts_fields;
    tts_fields["text"] = nb::make_tuple(str_t, required);
    tts_fields["engine"] = nb::make_tuple(str_t, required);
    tts_fields["output_path"] = nb::make_tuple(str_t, required);
    tts_fields["voice_name"] = nb::make_tuple(opt_str, nb::none());
    tts_fields["voice_id"] = nb::make_tuple(opt_str, nb::none());
    tts_fields["api_key"] = nb::make_tuple(opt_str, nb::none());
    tts_fields["check_credits"] = nb::make_tuple(bool_t, false);
    nb::object TTSRequest = model("TTSRequest", tts_fields);

    m.attr("ProjectRequest") = ProjectRequest;
    m.attr("ImportClipRequest") = ImportClipRequest;
    m.attr("AddClipRequest") = AddClipRequest;
    m.attr("TTSRequest") = TTSRequest;

    add_route(m, router, "post", "/project/create", "create_project", nullptr,
              {{"req", ProjectRequest}}, [](nb::args a, nb::kwargs kw) {
                  nb::object req = request("create_project", a, kw);
                  return guarded([&] {
                      lumora("create_project")(req.attr("project_name"));
                      return nb::object(success());
                  });
              });

    add_route(m, router, "post", "/project/open", "open_project", nullptr,
              {{"req", ProjectRequest}}, [](nb::args a, nb::kwargs kw) {
                  nb::object req = request("open_project", a, kw);
                  return guarded([&] {
                      lumora("open_project")(req.attr("project_name"));
                      return nb::object(success());
                  });
              });

    add_route(m, router, "post", "/project/delete_current", "delete_current_project", nullptr,
              {}, [](nb::args a, nb::kwargs kw) {
                  no_arguments("delete_current_project", a, kw);
                  return guarded([&] {
                      lumora("delete_current_project")();
                      return nb::object(success());
                  });
              });

    add_route(m, router, "post", "/media/import_clip", "import_clip", nullptr,
              {{"req", ImportClipRequest}}, [](nb::args a, nb::kwargs kw) {
                  nb::object req = request("import_clip", a, kw);
                  return guarded([&] {
                      lumora("import_clip")(req.attr("clip_path"), req.attr("clip_name"));
                      return nb::object(success());
                  });
              });

    add_route(m, router, "post", "/timeline/add_clip", "timeline_add_clip", nullptr,
              {{"req", AddClipRequest}}, [](nb::args a, nb::kwargs kw) {
                  nb::object req = request("timeline_add_clip", a, kw);
                  return guarded([&] {
                      lumora("add_clip_to_timeline")(
                          nb::arg("clip_name") = req.attr("clip_name"),
                          nb::arg("start_time") = req.attr("start_time"),
                          nb::arg("duration") = req.attr("duration"),
                          nb::arg("track_index") = req.attr("track_index"),
                          nb::arg("video") = req.attr("video"),
                          nb::arg("audio") = req.attr("audio"));
                      return nb::object(success());
                  });
              });

    add_route(m, router, "post", "/tts/generate", "tts_generate", nullptr,
              {{"req", TTSRequest}}, [](nb::args a, nb::kwargs kw) {
                  nb::object req = request("tts_generate", a, kw);
                  // The engines open the output before any audio arrives: a name that is not
                  // an audio file would let a request empty or replace any writable file.
                  nb::object out = req.attr("output_path");
                  if (!truthy(out.attr("lower")().attr("endswith")(
                          nb::make_tuple(".mp3", ".wav"))))
                      raise_http(400, "output_path must end in .mp3 or .wav");
                  return guarded([&] {
                      self_module().attr("generate_tts")(
                          nb::arg("text") = req.attr("text"),
                          nb::arg("outputfile") = req.attr("output_path"),
                          nb::arg("engine") = req.attr("engine"),
                          nb::arg("voice_name") = req.attr("voice_name"),
                          nb::arg("voice_id") = req.attr("voice_id"),
                          nb::arg("api_key") = req.attr("api_key"),
                          nb::arg("check_credits") = req.attr("check_credits"));
                      nb::dict d;
                      d["success"] = true;
                      d["engine"] = req.attr("engine");
                      d["characters"] = nb::len(nb::object(req.attr("text")));
                      d["output_path"] = req.attr("output_path");
                      return nb::object(d);
                  });
              });
}

}  // namespace vestrel::endpoints
