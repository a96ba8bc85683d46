// setup_davinci and render: the Resolve project and timeline of one short, built through
// the module attribute montra.lumora, looked up at each call so a replacement is honoured.
#include <string>
#include <vector>

#include "bindings/common/pyutil.hpp"
#include "bindings/common/values.hpp"
#include "bindings/montra/parts.hpp"
#include "core/edit.hpp"

namespace vestrel::bind::montra {

namespace {

constexpr const char* kTimeline = "Timeline 1";
constexpr const char* kWatermarkText = "@YourChannel";

// lumora.<name>, read through montra's own attribute at the time of the call.
nb::object lumora(const char* name) {
    return this_module.attr("lumora").attr(name);
}

nb::object setup_davinci(const Args& a) {
    nb::handle project_name = a["project_name"];
    print("[montra] Setting up DaVinci Resolve");
    try {
        // Only the open project is replaced; no context or no open project means nothing to
        // replace.
        nb::object current = lumora("get_current_project_name")();
        if (current.equal(project_name)) lumora("delete_current_project")();
    } catch (nb::python_error& e) {
        if (!error_is(e, PyExc_RuntimeError)) throw;
    }
    if (a.flag("template_project_path"))
        lumora("import_project")(a["template_project_path"], project_name);
    else
        lumora("create_project")(project_name);
    return nb::none();
}

// What render reads of one caption line.
struct LineText {
    bool counter = false;
    nb::object shown;  // the counter or the cleaned caption text
};

LineText line_text(nb::handle text_obj) {
    // Lower-cased as the host does it (full Unicode case mapping).
    auto lower = [](const std::string& word) {
        return utf8(nb::str(word.data(), word.size()).attr("lower")());
    };
    const edit::ShownLine shown = edit::shown_line(utf8(text_obj), lower);
    return {shown.counter, nb::str(shown.text.data(), shown.text.size())};
}

nb::object render(const Args& a) {
    nb::handle edit_obj = a["edit"];
    print("[montra] Rendering edit");
    edit_obj.attr("set_scenes_duration")();

    // The plan: scene times as set_scenes_duration left them, each caption line's span and
    // kind. Reading everything first lets the plan keep later items from being overlapped.
    std::vector<edit::PlanScene> scenes;
    std::vector<nb::object> backgrounds;
    std::vector<std::vector<LineText>> texts;
    for (nb::handle scene : edit_obj.attr("scenes")) {
        edit::PlanScene ps;
        ps.start = as_float(scene.attr("start"));
        ps.end = as_float(scene.attr("end"));
        ps.fade_in = as_float(scene.attr("fade_in"));
        ps.fade_out = as_float(scene.attr("fade_out"));
        std::vector<LineText> scene_texts;
        for (nb::handle line : scene.attr("captions").attr("lines")) {
            LineText lt = line_text(line.attr("text"));
            ps.lines.push_back({.start = as_float(line.attr("start")),
                                .end = as_float(line.attr("end")),
                                .counter = lt.counter});
            scene_texts.push_back(std::move(lt));
        }
        backgrounds.push_back(scene.attr("background"));
        scenes.push_back(std::move(ps));
        texts.push_back(std::move(scene_texts));
    }
    const std::vector<edit::Placement> plan = edit::plan_placements(scenes);

    lumora("set_current_timeline")(kTimeline);

    using K = edit::Placement::Kind;
    for (const edit::Placement& p : plan) {
        switch (p.kind) {
            case K::Background:
                print("[montra] Scene " + std::to_string(p.scene));
                lumora("import_and_add_to_timeline")(
                    backgrounds[p.scene], to_py(p.start), to_py(p.duration),
                    nb::arg("video") = true, nb::arg("audio") = false,
                    nb::arg("track_index") = p.track);
                break;
            case K::FadeIn:
            case K::FadeOut: {
                // No clip is short enough: the host's max() of no candidates.
                if (!p.key) import("builtins").attr("max")(nb::list());
                const char* clip = p.kind == K::FadeIn ? edit::fade_in_clip(*p.key)
                                                       : edit::fade_out_clip(*p.key);
                lumora("add_clip_to_timeline")(clip, to_py(p.start), to_py(p.duration),
                                               nb::arg("track_index") = p.track);
                break;
            }
            case K::Counter:
            case K::Caption:
                lumora("generate_text_on_timeline")(
                    p.kind == K::Counter ? "Counter" : "Caption", texts[p.scene][p.line].shown,
                    to_py(p.start), to_py(p.duration), nb::arg("track_index") = p.track);
                break;
        }
    }

    nb::object bg_music = edit_obj.attr("bg_music");
    if (truthy(bg_music))
        lumora("import_and_add_to_timeline")(bg_music, 0, edit_obj.attr("duration"),
                                             nb::arg("video") = false,
                                             nb::arg("track_index") = 2);
    lumora("import_and_add_to_timeline")(edit_obj.attr("speech"), 0, edit_obj.attr("duration"),
                                         nb::arg("video") = false, nb::arg("track_index") = 1);
    lumora("generate_text_on_timeline")("Watermark", kWatermarkText, 0,
                                        edit_obj.attr("duration"),
                                        nb::arg("track_index") = edit::kWatermarkTrack);
    print("[montra] Render pipeline complete");
    return nb::none();
}

}  // namespace

void register_assembly(nb::module_& m) {
    def(m, {{"setup_davinci",
             {opt_none("template_project_path", Kind::Str),
              opt("project_name", Kind::Str, nb::str("brevano_2026"))},
             setup_davinci,
             "Prepare Resolve environment.\n"
             "Assumes resolve context is already set via lumora.set_resolve().\n"
             "Project will be deleted if it already exists."},
            {"render", {arg("edit")}, render,
             "Fill the template's timeline from an edit: backgrounds, fades, caption and "
             "counter\ntitles, voice-over, music and watermark."}});
}

}  // namespace vestrel::bind::montra
