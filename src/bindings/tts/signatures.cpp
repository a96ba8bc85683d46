// The call signatures that inspect.signature reports for the module's functions and the
// engines' methods: parameter names, kinds, annotations and defaults as declared.
#include <initializer_list>

#include "bindings/common/pyutil.hpp"
#include "bindings/tts/parts.hpp"

namespace vestrel::tts {

using namespace vestrel::py;

namespace {

struct P {
    const char* name;
    nb::object annotation;        // invalid: none
    nb::object default_value{};   // invalid: required
    bool var_keyword = false;     // **name
};

nb::object signature(std::initializer_list<P> params, nb::object returns = nb::object()) {
    nb::object inspect = import("inspect");
    nb::object parameter = inspect.attr("Parameter");
    nb::object empty = inspect.attr("Signature").attr("empty");
    nb::list list;
    for (const P& p : params) {
        nb::dict kw;
        if (p.annotation.is_valid()) kw["annotation"] = p.annotation;
        if (p.default_value.is_valid()) kw["default"] = p.default_value;
        nb::object kind = parameter.attr(p.var_keyword ? "VAR_KEYWORD" : "POSITIONAL_OR_KEYWORD");
        list.append(parameter(p.name, kind, **kw));
    }
    return inspect.attr("Signature")(list,
                                     nb::arg("return_annotation") =
                                         returns.is_valid() ? returns : empty);
}

// Sets __signature__ on the function object stored in the class's own namespace.
void set_method(nb::handle cls, const char* name, nb::object sig) {
    nb::object fn = cls.attr("__dict__")[name];
    fn.attr("__signature__") = sig;
}

}  // namespace

void register_signatures(nb::module_& m) {
    nb::object builtins = import("builtins");
    nb::object str_t = builtins.attr("str"), int_t = builtins.attr("int");
    nb::object bool_t = builtins.attr("bool");
    nb::object opt_str = import("typing").attr("Optional")[str_t];
    nb::object engine_t = m.attr("TTSEngine");
    nb::object voice_module = m.attr("VoiceModule");
    const P self{"self", nb::object()};
    const P text{"text", str_t}, outputfile{"outputfile", str_t};

    m.attr("create_tts_engine").attr("__signature__") =
        signature({{"engine", engine_t}, {"kwargs", nb::object(), nb::object(), true}},
                  voice_module);
    m.attr("generate_tts").attr("__signature__") = signature(
        {text, outputfile, {"engine", engine_t}, {"engine_kwargs", nb::object(), nb::object(), true}},
        str_t);

    for (const char* cls_name :
         {"VoiceModule", "EdgeTTSVoiceModule", "ElevenLabsVoiceModule", "EspeakVoiceModule"}) {
        nb::object cls = m.attr(cls_name);
        set_method(cls, "update_usage", signature({self}));
        set_method(cls, "get_remaining_characters", signature({self}, int_t));
        set_method(cls, "generate_voice", signature({self, text, outputfile}, str_t));
    }
    nb::object edge = m.attr("EdgeTTSVoiceModule");
    set_method(edge, "__init__", signature({self, {"voice_name", str_t}}));
    set_method(edge, "_async_generate_voice", signature({self, text, outputfile}));

    nb::object eleven = m.attr("ElevenLabsVoiceModule");
    set_method(eleven, "__init__",
               signature({self,
                          {"api_key", str_t},
                          {"voice_id", str_t},
                          {"check_credits", bool_t, nb::bool_(false)},
                          {"min_required_chars", int_t, nb::int_(1200)},
                          {"language_code", opt_str, nb::none()}}));
    set_method(eleven, "get_voices", signature({self}));

    nb::object opt_int = import("typing").attr("Optional")[int_t];
    set_method(m.attr("EspeakVoiceModule"), "__init__",
               signature({self,
                          {"voice_name", str_t, nb::str("de")},
                          {"rate", opt_int, nb::none()},
                          {"pitch", opt_int, nb::none()}}));
    m.attr("list_espeak_voices").attr("__signature__") =
        signature({}, import("builtins").attr("list"));
}

}  // namespace vestrel::tts
