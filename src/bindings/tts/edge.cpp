// EdgeTTSVoiceModule: speech through the edge_tts client, streamed into the output file.
#include <memory>

#include "bindings/common/awaitable.hpp"
#include "bindings/common/pyutil.hpp"
#include "bindings/tts/parts.hpp"

namespace vestrel::bind::tts {

namespace {

// While alive, `exc` is the exception being handled (what sys.exception() and
// traceback.print_exc() see, and what an error raised meanwhile gets as __context__), as
// inside an `except` block. The previous state comes back at the end of the scope.
class Handling {
  public:
    explicit Handling(nb::handle exc) : saved_(PyErr_GetHandledException()) {
        PyErr_SetHandledException(exc.ptr());
    }
    ~Handling() {
        PyErr_SetHandledException(saved_);
        Py_XDECREF(saved_);
    }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

  private:
    PyObject* saved_;
};

// The body of _async_generate_voice: import edge_tts, open the output file, then write
// every audio chunk of communicate.stream() as it arrives.
class EdgeStream final : public AsyncForBody {
public:
    // From the arguments of _async_generate_voice(self, text, outputfile).
    explicit EdgeStream(const Args& a)
        : engine_(nb::borrow(a["self"])), text_(nb::borrow(a["text"])),
          outputfile_(nb::borrow(a["outputfile"])) {}

protected:
    nb::object begin() override {
        nb::object edge_tts;
        try {
            edge_tts = nb::module_::import_("edge_tts");
        } catch (nb::python_error& e) {
            if (!e.matches(PyExc_ImportError)) throw;
            raise_with_context(PyExc_Exception,
                               "edge-tts module is not installed. Use 'pip install edge-tts' to "
                               "install it.",
                               e.value());
        }
        nb::object communicate = edge_tts.attr("Communicate")(text_, engine_.attr("voice_name"));
        // Opened before any audio arrives: an empty stream still leaves an (empty) file.
        file_.obj = import("builtins").attr("open")(outputfile_, "wb");
        return communicate.attr("stream")();
    }

    void item(nb::handle chunk) override {
        if (nb::object(chunk["type"]).equal(nb::str("audio")))
            file_.obj.attr("write")(chunk["data"]);
    }

    nb::object end() override {
        file_.close();
        return nb::none();
    }

    void release() noexcept override { file_.close_quietly(); }

private:
    nb::object engine_, text_, outputfile_;
    Closing file_{nb::object(), "closing the Edge TTS output file"};
};

nb::object generate_voice(const Args& a) {
    nb::handle self = a["self"], text = a["text"], outputfile = a["outputfile"];
    nb::object asyncio = this_module.attr("asyncio");
    try {
        asyncio.attr("run")(self.attr("_async_generate_voice")(text, outputfile));
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_RuntimeError)) throw;
        // asyncio.run refuses (for instance when this thread already runs a loop) or the
        // run failed with a RuntimeError: report it, then one more run on a fresh loop
        // installed as this thread's loop. The retry's own errors propagate.
        Handling handling(e.value());
        this_module.attr("traceback").attr("print_exc")();
        nb::object loop = asyncio.attr("new_event_loop")();
        asyncio.attr("set_event_loop")(loop);
        loop.attr("run_until_complete")(self.attr("_async_generate_voice")(text, outputfile));
        loop.attr("close")();
    }
    if (!path_exists(outputfile))
        raise(PyExc_Exception, "Edge TTS failed: no output audio generated");
    return nb::borrow(outputfile);
}

}  // namespace

void register_edge(nb::module_& m) {
    nb::dict ns;
    const char* owner = "EdgeTTSVoiceModule";
    def_methods(
        m, ns, owner,
        {{"__init__", {arg("self"), arg("voice_name", Kind::Str) | str_type()},
          [](const Args& a) {
              a["self"].attr("voice_name") = a["voice_name"];
              return nb::none();
          }},
         unmetered_update_usage(), unmetered_remaining_characters(),
         generate_voice_fn(generate_voice),
         {"_async_generate_voice", {arg("self"), text_param(), outputfile_param()},
          [](const Args& a) {
              return make_coroutine(std::make_unique<EdgeStream>(a), "_async_generate_voice",
                                    "EdgeTTSVoiceModule._async_generate_voice");
          }}});
    make_class(m, owner, "Microsoft Edge TTS implementation using edge-tts.", ns,
               m.attr("VoiceModule"));

    // _async_generate_voice returns a coroutine: mark it as a coroutine function, so the
    // host's checks (inspect and asyncio iscoroutinefunction) see it as one.
    nb::object fn = ns["_async_generate_voice"];
    nb::object inspect = import("inspect");
    if (nb::hasattr(inspect, "markcoroutinefunction"))
        inspect.attr("markcoroutinefunction")(fn);
    nb::object marker = nb::getattr(import("asyncio.coroutines"), "_is_coroutine", nb::none());
    if (!marker.is_none()) fn.attr("_is_coroutine") = marker;
}

}  // namespace vestrel::bind::tts
