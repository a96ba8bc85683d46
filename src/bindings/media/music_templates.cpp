// Background music (uploaded, catalogued) and template projects (plain .drp files in the
// template cache or shipped beside the module).
#include "bindings/common/pyutil.hpp"
#include "bindings/media/parts.hpp"
#include "core/media.hpp"

namespace vestrel::bind::media {

namespace {

bool exists(nb::handle path) { return nb::cast<bool>(path.attr("exists")()); }

// The built-in templates: the "templates" folder beside this module's own file.
nb::object builtin_dir() {
    return make_path(attr("__file__")).attr("parent").attr("__truediv__")("templates");
}

nb::object drp_listing(nb::handle dir) {
    nb::list out;
    const std::filesystem::path d = fs_path(dir);
    std::vector<std::string> names;
    {
        nb::gil_scoped_release release;
        std::error_code ec;
        if (std::filesystem::is_directory(d, ec))
            names = vestrel::media::drp_names(vestrel::media::list_names(d));
    }
    for (const std::string& n : names) out.append(nb::str(n.c_str(), n.size()));
    return out;
}

nb::object get_template(nb::handle identifier) {
    const std::string ident = utf8(identifier);
    nb::object templates = make_path(attr("TEMPLATES_DIR"));
    // 1. An absolute path that exists, returned as given.
    nb::object as_path = make_path(identifier);
    if (nb::cast<bool>(as_path.attr("is_absolute")()) && exists(as_path))
        return nb::borrow(identifier);
    for (const vestrel::media::TemplateCandidate& c : vestrel::media::template_candidates(ident)) {
        nb::object p = join(c.builtin ? builtin_dir() : templates, c.name);
        if (exists(p)) return nb::str(p);
    }
    raise(PyExc_FileNotFoundError, "Template not found: " + ident);
}

nb::object resolve_music(const Args& a) {
    const std::string name = stored_file(music, require_entry(music, a["asset_id"]));
    if (name.empty()) raise(PyExc_RuntimeError, "Background music file missing");
    return nb::str(join(attr("CACHE_DIR"), name));
}

nb::object upload_template(const Args& a) {
    nb::object name = nb::borrow(a["template_name"]);
    const bool ends_in_drp = nb::cast<bool>(name.attr("lower")().attr("endswith")(".drp"));
    // Only a plain file name is stored: nothing may land outside the template cache.
    if (!vestrel::media::is_plain_template_name(utf8(name), ends_in_drp))
        raise(PyExc_ValueError, "Invalid template name");
    if (!ends_in_drp) name = nb::str((utf8(name) + ".drp").c_str());
    nb::object target = make_path(attr("TEMPLATES_DIR")).attr("__truediv__")(name);
    nb::object out = import("io").attr("open")(target, "wb");
    closing(out, [&] { out.attr("write")(a["file_content"]); });
    print("[media] Template uploaded: " + str(target));
    return nb::str(target);
}

}  // namespace

void register_music_templates(nb::module_& m) {
    def(m, {
        {"list_background_music", {},
         [](const Args&) { return list_assets(music); },
         "List the background music of the catalogue with its download state."},
        {"add_background_music_upload",
         {arg("title", Kind::Str), arg("file"), arg("filename", Kind::Str)},
         [](const Args& a) { return store_upload(a, music); },
         "Store an uploaded background music file and record it in the catalogue."},
        {"delete_background_music", {arg("asset_id", Kind::Str)},
         answers_none([](const Args& a) { delete_asset(music, a["asset_id"]); }),
         "Remove a background music entry from the catalogue with all of its files."},
        {"resolve_background_music", {arg("asset_id", Kind::Str)}, resolve_music,
         "The local file of a background music entry."},
        {"upload_template", {arg("file_content"), arg("template_name", Kind::Str)},
         upload_template, "Upload a DaVinci Resolve template and store it in cache."},
        {"get_template", {arg("template_identifier", Kind::Str)},
         [](const Args& a) { return get_template(a["template_identifier"]); },
         "Get template path from cache, built-in templates, or identifier."},
        {"list_templates", {},
         [](const Args&) {
             nb::dict result;
             result["cached"] = drp_listing(attr("TEMPLATES_DIR"));
             result["builtin"] = drp_listing(builtin_dir());
             return nb::object(result);
         },
         "List all available templates (cached + built-in)."},
    });
}

}  // namespace vestrel::bind::media
