// remove_commands and generate_short: the order of the stages and the hand-over between them.
//
// Every stage is reached through the module attributes `tts`, `lexor` and `montra`, read at
// the time of each call, so a replaced stage is seen at once. Log lines are built as Python
// strings from the values' own str() and format(x, ".3f") and printed through print().
#include <type_traits>

#include "bindings/brevano/parts.hpp"
#include "bindings/common/pyutil.hpp"
#include "bindings/common/values.hpp"
#include "core/commands.hpp"

namespace vestrel::bind::brevano {

namespace {

nb::object stage(const char* name) { return this_module.attr(name); }

nb::object join(nb::handle parts) {
    return checked(PyUnicode_Join(nb::str("").ptr(), parts.ptr()));
}
// x[:n] (code points for a str)
nb::object head(nb::handle seq, Py_ssize_t n) {
    return checked(PySequence_GetSlice(seq.ptr(), 0, n));
}
nb::object sub(nb::handle a, nb::handle b) { return checked(PyNumber_Subtract(a.ptr(), b.ptr())); }

// Prints `line` filled by str.format: "{!s}" writes str(value), "{:.3f}" format(value, ".3f").
// A size is shown as the int it is.
template <typename... Values>
void log(const char* line, const Values&... values) {
    auto value = [](const auto& v) {
        if constexpr (std::is_same_v<std::decay_t<decltype(v)>, size_t>) return nb::int_(v);
        else return nb::object(v);
    };
    vestrel::py::print(nb::handle(nb::str(line).format(value(values)...)));
}

// One line per word of the first n words: index, start, end and text.
void log_words(nb::handle words, Py_ssize_t n) {
    size_t w = 0;
    for (nb::handle word : head(words, n))
        log("    Word {}: [{:.3f}s - {:.3f}s] '{!s}'", w++, word.attr("start"), word.attr("end"),
            word.attr("text"));
}

void transcription_report(nb::handle transcription) {
    print("[Brevano] TRANSCRIPTION TIMING DEBUG:");
    size_t s = 0;
    for (nb::handle seg : transcription.attr("segments")) {
        nb::object start = seg.attr("start"), end = seg.attr("end");
        log("  Segment {}: [{:.3f}s - {:.3f}s] ({:.3f}s) '{!s}'", s++, start, end, sub(end, start),
            head(seg.attr("text"), 50));
        log_words(seg.attr("words"), 3);
    }
}

void per_scene_report(nb::handle per_scene) {
    print("[Brevano] PER-SCENE TRANSCRIPTION DEBUG:");
    nb::object builtins = import("builtins");
    size_t k = 0;
    for (nb::handle words : per_scene) {
        const size_t index = k++;
        if (!truthy(words)) continue;
        nb::list starts, ends;
        for (nb::handle w : words) {
            starts.append(w.attr("start"));
            ends.append(w.attr("end"));
        }
        nb::object start = builtins.attr("min")(starts), end = builtins.attr("max")(ends);
        log("  Scene {}: [{:.3f}s - {:.3f}s] ({:.3f}s) - {} words", index, start, end,
            sub(end, start), nb::len(words));
        log_words(words, 2);
    }
}

void edit_report(nb::handle edit) {
    size_t j = 0;
    for (nb::handle scene : edit.attr("scenes")) {
        nb::object captions = scene.attr("captions");
        log("  Scene {}: [{:.3f}s - {:.3f}s] ({:.3f}s) captions: [{:.3f}s - {:.3f}s]", j++,
            scene.attr("start"), scene.attr("end"), scene.attr("duration"),
            captions.attr("start"), captions.attr("end"));
    }
}

// Stage marks on the shared stage reporter (vestrel.progress): which stage runs, how long
// each took, which one failed. A cancel request is honoured when the next stage begins
// (start_stage raises progress.Cancelled). A run begun by the caller (the generation route
// marks "media" first) is continued; a direct call begins its own run without "media".
class StageMarks {
  public:
    StageMarks() : progress_(import("vestrel.progress")) {
        if (!truthy(progress_.attr("snapshot")()["active"])) {
            progress_.attr("begin_run")();
            progress_.attr("skip_stage")("media");
        }
    }
    void start(const char* name) {
        at_ = name;
        progress_.attr("start_stage")(name);
    }
    void finish() { progress_.attr("finish_stage")(at_); }
    // A stage that does not apply to this run; a failure before the next stage begins is
    // counted to that next stage.
    void skip(const char* name, const char* next) {
        progress_.attr("skip_stage")(name);
        at_ = next;
    }
    void fail(nb::handle error) { progress_.attr("fail_stage")(at_, error); }
    void end() { progress_.attr("end_run")(); }

  private:
    nb::object progress_;
    const char* at_ = "voice";
};

nb::object generate_short(nb::handle data, StageMarks& marks) {
    // 1. The raw script (commands included) and the text to be spoken.
    nb::list captions;
    for (nb::handle scene : data.attr("scenes")) captions.append(scene.attr("caption"));
    nb::object raw_text = join(captions);
    nb::object speech_text = stage("remove_commands")(raw_text);

    // 2. Speech synthesis; without an engine the file already at the output path is used.
    nb::object engine = data.attr("tts_engine");
    if (truthy(engine)) {
        marks.start("voice");
        print("[Brevano] Generating TTS...");
        log("[Brevano] Raw text: {!s}...", head(raw_text, 100));
        log("[Brevano] Speech text (commands removed): {!s}...", head(speech_text, 100));
        nb::dict kwargs;
        kwargs["text"] = speech_text;
        kwargs["outputfile"] = data.attr("voice_output_filepath");
        kwargs["engine"] = engine;
        // The voice settings of the engine, each passed on only when given.
        for (auto [setting, param] : {std::pair{"edge_voice_name", "voice_name"},
                                      {"eleven_voice_id", "voice_id"},
                                      {"eleven_api_key", "api_key"}}) {
            nb::object value = data.attr(setting);
            if (truthy(value)) kwargs[param] = value;
        }
        nb::object language = data.attr("language");
        // The offline engine speaks the script's language too: without a voice of its own
        // it picks one from the language (engine names are case-insensitive there).
        bool espeak = PyUnicode_Check(engine.ptr()) &&
                      engine.attr("lower")().equal(nb::str("espeak"));
        if (truthy(language) && (engine.equal(nb::str("eleven")) || espeak))
            kwargs["language_code"] = language;
        stage("tts").attr("generate_tts")(**kwargs);
        log("[Brevano] TTS saved to: {!s}", data.attr("voice_output_filepath"));
        marks.finish();
    } else {
        marks.skip("voice", "project");
    }

    // 3. The built-in template, beside this module's own file.
    marks.start("project");
    if (!truthy(data.attr("davinci_template_path"))) {
        nb::object path = import("os").attr("path");
        nb::object dir = path.attr("dirname")(this_module.attr("__file__"));
        nb::setattr(data, "davinci_template_path",
                    path.attr("join")(dir, "templates", "tolvane.drp"));
    }

    // 4. The Resolve project, created from the template before any audio is processed.
    stage("montra").attr("setup_davinci")(
        nb::arg("template_project_path") = data.attr("davinci_template_path"),
        nb::arg("project_name") = data.attr("davinci_project_name"));
    marks.finish();

    // 5. Silence removal: the shortened file replaces the voice-over for every later stage.
    if (truthy(data.attr("remove_silence"))) {
        marks.start("silence");
        nb::object min_duration = data.attr("min_silence_duration");
        log("[Brevano] Removing silence (min duration: {!s}s)...", min_duration);
        nb::object shortened = stage("montra").attr("remove_silence_from_audio")(
            data.attr("voice_output_filepath"), nb::arg("min_silence_duration") = min_duration);
        nb::setattr(data, "voice_output_filepath", shortened);
        log("[Brevano] Silence removed. Output: {!s}", data.attr("voice_output_filepath"));
        marks.finish();
    } else {
        marks.skip("silence", "transcription");
    }

    // 6.-8. Alignment of the spoken text with the audio.
    marks.start("transcription");
    log("[Brevano] Transcribing audio with Whisper model '{!s}' language '{!s}'...",
        data.attr("whisper_model"), data.attr("language"));
    nb::object transcription = stage("lexor").attr("generate_transcription")(
        data.attr("voice_output_filepath"), speech_text, data.attr("whisper_model"),
        data.attr("language"));
    transcription_report(transcription);
    marks.finish();

    // 9.-11. Commands back into the words, then the words cut by scene.
    marks.start("alignment");
    stage("lexor").attr("update_transcription")(transcription, raw_text);
    nb::object per_scene = stage("lexor").attr("split_by_scenes")(transcription, captions);
    per_scene_report(per_scene);
    marks.finish();

    // 12.-13. The edit: one montra.Scene per input scene with its timed captions.
    marks.start("captions");
    print("[Brevano] Building Resolve edit...");
    nb::object edit = stage("montra").attr("Edit")(data.attr("voice_output_filepath"),
                                                   data.attr("bg_music_filepath"));
    size_t i = 0;
    for (nb::handle scene : data.attr("scenes")) {
        const size_t index = i++;
        nb::object words = per_scene[nb::int_(index)];
        nb::object caps = stage("montra")
                              .attr("Captions")
                              .attr("create_by_transcription")(
                                  words, nb::arg("chars_per_line") = data.attr("chars_per_line"));
        log("\n[Brevano] Scene {} CAPTIONS (created, before adjust_timing):", index);
        caps.attr("_print_timing_debug")("before adjust_timing");
        caps.attr("adjust_timing")();
        nb::object bg = scene.attr("bg_video");
        nb::dict kw;
        kw["background"] = bg.attr("filepath");
        for (const char* name : {"brightness", "contrast", "saturation", "color_tone"})
            kw[name] = bg.attr(name);
        kw["captions"] = caps;
        edit.attr("scenes").attr("append")(stage("montra").attr("Scene")(**kw));
    }
    marks.finish();

    // 14. Scene times; the header comes before they are computed.
    marks.start("assembly");
    print("[Brevano] EDIT SCENES TIMING DEBUG:");
    edit.attr("set_scenes_duration")();
    edit_report(edit);

    // 15.-16. The timeline.
    print("[Brevano] Rendering...");
    stage("montra").attr("render")(edit);
    marks.finish();
    marks.end();
    print("[Brevano] Done.");
    return nb::none();
}

// surrogatepass both ways: any str the host can hold comes back unchanged.
nb::object remove_commands(const Args& a) {
    nb::object raw = checked(PyUnicode_AsEncodedString(a["text"].ptr(), "utf-8", "surrogatepass"));
    const std::string out = commands::remove_commands(std::string_view(
        PyBytes_AS_STRING(raw.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(raw.ptr()))));
    return checked(
        PyUnicode_DecodeUTF8(out.data(), static_cast<Py_ssize_t>(out.size()), "surrogatepass"));
}

}  // namespace

void register_pipeline(nb::module_& m) {
    def(m, {
        {"remove_commands", {arg("text", Kind::Str) | str_type()}, remove_commands,
         "Remove commands like <...> from text.", str_type()},
        {"generate_short", {arg("data") | m.attr("BrevanoInput")},
         [](const Args& a) {
             StageMarks marks;
             // The failing stage is recorded with the error's text; the error goes on.
             try {
                 return generate_short(a["data"], marks);
             } catch (nb::python_error& e) {
                 marks.fail(exception_text(e.value()));
                 throw;
             } catch (const std::exception& e) {
                 marks.fail(nb::str(e.what()));
                 throw;
             }
         },
         "Main pipeline:\n- generate voice\n- remove silence\n- transcribe\n- map captions\n"
         "- render video", nb::none()},
    });
}

}  // namespace vestrel::bind::brevano
