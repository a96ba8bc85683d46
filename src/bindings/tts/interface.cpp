// The voice interface (VoiceModule), the engine names (TTSEngine), the factory and the
// one-shot helper.
#include "bindings/common/args.hpp"
#include "bindings/common/function.hpp"
#include "bindings/common/pyutil.hpp"
#include "bindings/common/values.hpp"
#include "bindings/tts/parts.hpp"

#include <cstring>
#include <string>

namespace vestrel::tts {

using namespace vestrel::py;

namespace {

PyObject* g_module = nullptr;  // borrowed: the module lives as long as the interpreter

// An abstract method of a host class: the abc machinery recognises it by its
// __isabstractmethod__, and it binds to an instance like the function it wraps.
struct AbstractMethod {
    nb::object func;
};

void register_abstract_method_type(nb::module_& m) {
    if (nb::type<AbstractMethod>().is_valid()) return;
    nb::class_<AbstractMethod>(m, "_AbstractMethod", nb::dynamic_attr())
        .def(
            "__get__",
            [](nb::handle self, nb::handle instance, nb::handle owner) -> nb::object {
                if (instance.is_none()) return nb::borrow(self);
                return nb::cast<AbstractMethod&>(self).func.attr("__get__")(instance, owner);
            },
            nb::arg("instance").none(), nb::arg("owner").none() = nb::none())
        .def("__call__",
             [](AbstractMethod& a, nb::args args, nb::kwargs kwargs) {
                 return a.func(*args, **kwargs);
             })
        .def_prop_ro("__isabstractmethod__", [](nb::handle) { return true; });
}

nb::object abstract_method(const char* cls, const char* name, nb::object func) {
    nb::object wrapper = nb::cast(AbstractMethod{func});
    wrapper.attr("__name__") = nb::str(name);
    wrapper.attr("__qualname__") = nb::str((std::string(cls) + "." + name).c_str());
    wrapper.attr("__module__") = nb::str("vestrel.tts");
    wrapper.attr("__doc__") = nb::none();
    return wrapper;
}

// Splits call keywords into those naming a declared parameter (checked by `parse`) and the
// rest, which the function collects into a dictionary of its own.
std::pair<nb::dict, nb::dict> split_kwargs(nb::kwargs kwargs,
                                           std::initializer_list<const char*> names) {
    nb::dict named, rest;
    for (auto [key, value] : kwargs) {
        bool declared = false;
        for (const char* n : names)
            if (PyUnicode_Check(key.ptr()) && PyUnicode_CompareWithASCIIString(key.ptr(), n) == 0)
                declared = true;
        (declared ? named : rest)[key] = value;
    }
    return {named, rest};
}

nb::object setting(nb::dict settings, const char* key, nb::object default_value) {
    nb::str k(key);
    return settings.contains(k) ? nb::object(settings[k]) : default_value;
}

nb::object create_tts_engine(nb::args args, nb::kwargs kwargs) {
    static const Signature& sig = declare({"create_tts_engine", {arg("engine")}});
    auto [named, settings] = split_kwargs(kwargs, {"engine"});
    auto v = parse(sig, args, named);

    // Engine names are case-insensitive; the lowered name is used from here on.
    nb::object engine = v[0].attr("lower")();
    if (engine.equal(nb::str("edge"))) {
        nb::object voice_name = setting(settings, "voice_name", nb::str("de-DE-KatjaNeural"));
        return module().attr("EdgeTTSVoiceModule")(nb::arg("voice_name") = voice_name);
    }
    if (engine.equal(nb::str("eleven"))) {
        nb::object api_key = setting(settings, "api_key", nb::none());
        if (!truthy(api_key)) raise(PyExc_ValueError, "api_key is required for ElevenLabs TTS");
        nb::object voice_id = setting(settings, "voice_id", nb::str("21m00Tcm4TlvDq8ikWAM"));
        nb::object check_credits = setting(settings, "check_credits", nb::bool_(false));
        nb::object language_code = setting(settings, "language_code", nb::none());
        return module().attr("ElevenLabsVoiceModule")(
            nb::arg("api_key") = api_key, nb::arg("voice_id") = voice_id,
            nb::arg("check_credits") = check_credits, nb::arg("language_code") = language_code);
    }
    if (engine.equal(nb::str("espeak"))) {
        // Offline engine: no key, and a None voice means "not given" (the speech route
        // passes absent fields on as None).
        nb::object voice_name = setting(settings, "voice_name", nb::none());
        nb::object language_code = setting(settings, "language_code", nb::none());
        nb::object rate = setting(settings, "rate", nb::none());
        nb::object pitch = setting(settings, "pitch", nb::none());
        return module().attr("EspeakVoiceModule")(
            nb::arg("voice_name") = espeak_voice_for_settings(voice_name, language_code),
            nb::arg("rate") = rate, nb::arg("pitch") = pitch);
    }
    raise(PyExc_ValueError, "Unsupported TTS engine: " + str(engine));
}

nb::object generate_tts(nb::args args, nb::kwargs kwargs) {
    static const Signature& sig = declare(
        {"generate_tts", {arg("text", Kind::Str), arg("outputfile", Kind::Str), arg("engine")}});
    auto [named, engine_kwargs] = split_kwargs(kwargs, {"text", "outputfile", "engine"});
    auto v = parse(sig, args, named);

    nb::object engine = module().attr("create_tts_engine")(v[2], **engine_kwargs);
    nb::object result = engine.attr("generate_voice")(v[0], v[1]);
    if (!PyUnicode_CheckExact(result.ptr())) {
        PyErr_Format(PyExc_TypeError, "Expected str, got %.200s", Py_TYPE(result.ptr())->tp_name);
        throw nb::python_error();
    }
    return result;
}

}  // namespace

nb::handle module() { return g_module; }

bool path_exists(nb::handle path) {
    return truthy(module().attr("os").attr("path").attr("exists")(path));
}
void set_module(nb::handle m) { g_module = m.ptr(); }

Handling::Handling(nb::handle exc) : saved_(PyErr_GetHandledException()) {
    PyErr_SetHandledException(exc.ptr());
}

Handling::~Handling() {
    PyErr_SetHandledException(saved_);
    Py_XDECREF(saved_);
}

// The docstring a nanobind function was given: what follows its signature paragraph, or
// None when it has none (a method without a docstring documents nothing, as in Python).
static nb::object given_doc(nb::handle fn) {
    nb::object doc = nb::getattr(fn, "__doc__", nb::none());
    if (doc.is_none()) return doc;
    std::string text = utf8(doc);
    size_t cut = text.find("\n\n");
    if (cut == std::string::npos) return nb::none();
    return nb::str(text.substr(cut + 2).c_str());
}

nb::object make_class(nb::module_& m, const char* name, nb::handle base, nb::dict ns,
                      const char* doc) {
    // Methods become plain documented functions of the class: __doc__ is their docstring
    // alone, and __qualname__ and __module__ name the class, as for a method of a class
    // written in the host language.
    nb::list keys = ns.keys();
    for (nb::handle key : keys) {
        nb::object value = ns[key];
        nb::handle type = reinterpret_cast<PyObject*>(Py_TYPE(value.ptr()));
        if (utf8(type.attr("__name__")) != "nb_method") continue;
        ns[key] = documented(value, utf8(key).c_str(), given_doc(value), name,
                             m.attr("__name__"));
    }
    ns["__module__"] = m.attr("__name__");
    ns["__qualname__"] = nb::str(name);
    ns["__doc__"] = nb::str(doc);
    nb::handle metaclass = reinterpret_cast<PyObject*>(Py_TYPE(base.ptr()));
    nb::object cls = nb::borrow(metaclass)(nb::str(name), nb::make_tuple(base), ns);
    m.attr(name) = cls;
    return cls;
}

void register_interface(nb::module_& m) {
    register_abstract_method_type(m);

    m.attr("TTSEngine") = import("typing").attr("Literal")[nb::make_tuple("edge", "eleven")];

    // Every operation is abstract, so the class cannot be instantiated; the bodies do
    // nothing and return nothing.
    nb::dict ns;
    ns["update_usage"] = abstract_method(
        "VoiceModule", "update_usage",
        method("update_usage", [](nb::handle, nb::args a, nb::kwargs k) {
            static const Signature& sig = declare({"update_usage", {}, true});
            parse(sig, a, k);
            return nb::none();
        }));
    ns["get_remaining_characters"] = abstract_method(
        "VoiceModule", "get_remaining_characters",
        method("get_remaining_characters", [](nb::handle, nb::args a, nb::kwargs k) {
            static const Signature& sig = declare({"get_remaining_characters", {}, true});
            parse(sig, a, k);
            return nb::none();
        }));
    ns["generate_voice"] = abstract_method(
        "VoiceModule", "generate_voice",
        method("generate_voice", [](nb::handle, nb::args a, nb::kwargs k) {
            static const Signature& sig = declare(
                {"generate_voice", {arg("text", Kind::Str), arg("outputfile", Kind::Str)}, true});
            parse(sig, a, k);
            return nb::none();
        }));
    make_class(m, "VoiceModule", import("abc").attr("ABC"), ns,
               "Abstract base class for all TTS engines.");

    m.def("create_tts_engine", &create_tts_engine,
          "Factory to create a TTS engine.\n"
          "\n"
          "Example:\n"
          "    engine = create_tts_engine(\"edge\", voice_name=\"de-DE-KatjaNeural\")\n");
    m.def("generate_tts", &generate_tts,
          "One-shot helper to generate TTS without manually managing the engine.");
}

nb::object unmetered_update_usage(nb::handle, nb::args a, nb::kwargs k) {
    static const Signature& sig = declare({"update_usage", {}, true});
    parse(sig, a, k);
    return nb::none();
}

nb::object unmetered_remaining_characters(nb::handle, nb::args a, nb::kwargs k) {
    static const Signature& sig = declare({"get_remaining_characters", {}, true});
    parse(sig, a, k);
    return nb::int_(1000000000000LL);
}

}  // namespace vestrel::tts
