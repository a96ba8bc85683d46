// EdgeTTSVoiceModule: speech through the edge_tts client, streamed into the output file.
#include <memory>

#include "bindings/common/args.hpp"
#include "bindings/common/awaitable.hpp"
#include "bindings/common/pyutil.hpp"
#include "bindings/tts/parts.hpp"

namespace vestrel::tts {

using namespace vestrel::py;

namespace {

// The body of _async_generate_voice: import edge_tts, open the output file, then write
// every audio chunk of communicate.stream() as it arrives.
class EdgeStream final : public AsyncForBody {
public:
    EdgeStream(nb::object engine, nb::object text, nb::object outputfile)
        : engine_(std::move(engine)), text_(std::move(text)), outputfile_(std::move(outputfile)) {}

protected:
    nb::object begin() override {
        nb::object edge_tts;
        try {
            edge_tts = nb::module_::import_("edge_tts");
        } catch (nb::python_error& e) {
            if (!e.matches(PyExc_ImportError)) throw;
            // Raised while the import error is handled, so it becomes the __context__.
            Handling handling(e.value());
            PyErr_SetString(PyExc_Exception,
                            "edge-tts module is not installed. Use 'pip install edge-tts' to "
                            "install it.");
            throw nb::python_error();
        }
        nb::object communicate = edge_tts.attr("Communicate")(text_, engine_.attr("voice_name"));
        // Opened before any audio arrives: an empty stream still leaves an (empty) file.
        file_ = import("builtins").attr("open")(outputfile_, "wb");
        return communicate.attr("stream")();
    }

    void item(nb::handle chunk) override {
        if (nb::object(chunk["type"]).equal(nb::str("audio"))) file_.attr("write")(chunk["data"]);
    }

    nb::object end() override {
        nb::object f = std::move(file_);
        f.attr("close")();
        return nb::none();
    }

    void release() noexcept override {
        if (!file_.is_valid()) return;
        nb::object f = std::move(file_);
        try {
            f.attr("close")();
        } catch (nb::python_error& e) {
            e.discard_as_unraisable("closing the Edge TTS output file");
        } catch (...) {
        }
    }

private:
    nb::object engine_, text_, outputfile_, file_;
};

nb::object init(nb::handle self, nb::args a, nb::kwargs k) {
    static const Signature& sig = declare({"__init__", {arg("voice_name", Kind::Str)}, true});
    auto v = parse(sig, a, k);
    self.attr("voice_name") = v[0];
    return nb::none();
}

nb::object async_generate_voice(nb::handle self, nb::args a, nb::kwargs k) {
    static const Signature& sig = declare(
        {"_async_generate_voice", {arg("text", Kind::Str), arg("outputfile", Kind::Str)}, true});
    auto v = parse(sig, a, k);
    return make_coroutine(std::make_unique<EdgeStream>(nb::borrow(self), v[0], v[1]),
                          "_async_generate_voice", "EdgeTTSVoiceModule._async_generate_voice");
}

nb::object generate_voice(nb::handle self, nb::args a, nb::kwargs k) {
    static const Signature& sig = declare(
        {"generate_voice", {arg("text", Kind::Str), arg("outputfile", Kind::Str)}, true});
    auto v = parse(sig, a, k);
    nb::object text = v[0], outputfile = v[1];
    nb::object asyncio = module().attr("asyncio");
    try {
        asyncio.attr("run")(self.attr("_async_generate_voice")(text, outputfile));
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_RuntimeError)) throw;
        // asyncio.run refuses (for instance when this thread already runs a loop) or the
        // run failed with a RuntimeError: report it, then one more run on a fresh loop
        // installed as this thread's loop. The retry's own errors propagate.
        Handling handling(e.value());
        module().attr("traceback").attr("print_exc")();
        nb::object loop = asyncio.attr("new_event_loop")();
        asyncio.attr("set_event_loop")(loop);
        loop.attr("run_until_complete")(self.attr("_async_generate_voice")(text, outputfile));
        loop.attr("close")();
    }
    if (!path_exists(outputfile))
        raise(PyExc_Exception, "Edge TTS failed: no output audio generated");
    return outputfile;
}

}  // namespace

void register_edge(nb::module_& m) {
    nb::dict ns;
    ns["__init__"] = method("__init__", &init);
    ns["update_usage"] = method("update_usage", &unmetered_update_usage);
    ns["get_remaining_characters"] =
        method("get_remaining_characters", &unmetered_remaining_characters);
    ns["generate_voice"] = method("generate_voice", &generate_voice);
    ns["_async_generate_voice"] = method("_async_generate_voice", &async_generate_voice);
    nb::object cls = make_class(m, "EdgeTTSVoiceModule", m.attr("VoiceModule"), ns,
                                "Microsoft Edge TTS implementation using edge-tts.");

    // _async_generate_voice returns a coroutine: mark it as a coroutine function, so the
    // host's checks (inspect and asyncio iscoroutinefunction) see it as one.
    nb::object fn = cls.attr("__dict__")["_async_generate_voice"];
    nb::object inspect = import("inspect");
    if (nb::hasattr(inspect, "markcoroutinefunction"))
        inspect.attr("markcoroutinefunction")(fn);
    nb::object marker = nb::getattr(import("asyncio.coroutines"), "_is_coroutine", nb::none());
    if (!marker.is_none()) fn.attr("_is_coroutine") = marker;
}

}  // namespace vestrel::tts
