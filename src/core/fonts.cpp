#include "core/fonts.hpp"

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_TRUETYPE_TABLES_H

#include <filesystem>
#include <memory>

#include "core/render.hpp"

namespace vestrel::fonts {

namespace {

struct ConfigDeleter {
    void operator()(FcConfig* c) const { FcConfigDestroy(c); }
};

std::unique_ptr<FcConfig, ConfigDeleter> load(const std::string& config_file) {
    if (config_file.empty()) return std::unique_ptr<FcConfig, ConfigDeleter>(FcInitLoadConfigAndFonts());
    std::unique_ptr<FcConfig, ConfigDeleter> cfg(FcConfigCreate());
    if (!cfg) return nullptr;
    if (!FcConfigParseAndLoad(cfg.get(), reinterpret_cast<const FcChar8*>(config_file.c_str()),
                              FcTrue) ||
        !FcConfigBuildFonts(cfg.get()))
        return std::unique_ptr<FcConfig, ConfigDeleter>(FcInitLoadConfigAndFonts());
    return cfg;
}

// The file (and face index) of the installed face of `family` in the weight and slant asked
// for; nullopt when there is none.
std::optional<std::pair<std::string, int>> face_file(FcConfig* cfg, const std::string& family,
                                                     const render::FontFace& face) {
    FcPattern* pat = FcPatternCreate();
    FcPatternAddString(pat, FC_FAMILY, reinterpret_cast<const FcChar8*>(family.c_str()));
    FcObjectSet* os = FcObjectSetBuild(FC_WEIGHT, FC_SLANT, FC_FILE, FC_INDEX, nullptr);
    FcFontSet* set = FcFontList(cfg, pat, os);
    std::optional<std::pair<std::string, int>> found;
    const int want_weight = FcWeightFromOpenType(face.weight);
    for (int i = 0; set && i < set->nfont && !found; ++i) {
        int weight = 0, slant = FC_SLANT_ROMAN, index = 0;
        FcChar8* file = nullptr;
        if (FcPatternGetInteger(set->fonts[i], FC_WEIGHT, 0, &weight) != FcResultMatch) continue;
        FcPatternGetInteger(set->fonts[i], FC_SLANT, 0, &slant);
        FcPatternGetInteger(set->fonts[i], FC_INDEX, 0, &index);
        FcPatternGetString(set->fonts[i], FC_FILE, 0, &file);
        if (weight == want_weight && (slant != FC_SLANT_ROMAN) == face.italic)
            found.emplace(file ? reinterpret_cast<const char*>(file) : "", index);
    }
    if (set) FcFontSetDestroy(set);
    FcObjectSetDestroy(os);
    FcPatternDestroy(pat);
    return found;
}

bool installed(FcConfig* cfg, const std::string& family, const render::FontFace& face) {
    return face_file(cfg, family, face).has_value();
}

}  // namespace

std::vector<std::pair<std::string, std::string>> missing(
    const std::vector<std::pair<std::string, std::string>>& wanted,
    const std::string& config_file) {
    std::vector<std::pair<std::string, std::string>> absent;
    if (wanted.empty()) return absent;
    auto cfg = load(config_file);
    for (const auto& [family, style] : wanted) {
        auto face = render::face_of_style(style);
        if (!cfg || !face || !installed(cfg.get(), family, *face)) absent.emplace_back(family, style);
    }
    return absent;
}

std::optional<double> line_per_em(const std::string& family, const std::string& style,
                                  const std::string& config_file) {
    auto face = render::face_of_style(style);
    if (!face) return std::nullopt;
    auto cfg = load(config_file);
    if (!cfg) return std::nullopt;
    auto file = face_file(cfg.get(), family, *face);
    if (!file || file->first.empty()) return std::nullopt;
    FT_Library lib = nullptr;
    if (FT_Init_FreeType(&lib) != 0) return std::nullopt;
    std::optional<double> ratio;
    FT_Face ft = nullptr;
    if (FT_New_Face(lib, file->first.c_str(), file->second, &ft) == 0) {
        // As libass measures a line: the OS/2 table's Windows ascent and descent when the
        // face has them (with the horizontal header), else its own ascender and descender.
        const auto* os2 = static_cast<const TT_OS2*>(FT_Get_Sfnt_Table(ft, FT_SFNT_OS2));
        const auto* hhea = static_cast<const TT_HoriHeader*>(FT_Get_Sfnt_Table(ft, FT_SFNT_HHEA));
        double line = static_cast<double>(ft->ascender - ft->descender);
        if (os2 && hhea && os2->usWinAscent + os2->usWinDescent > 0 &&
            hhea->Ascender - hhea->Descender > 0)
            line = static_cast<double>(os2->usWinAscent + os2->usWinDescent);
        if (ft->units_per_EM > 0 && line > 0) ratio = line / ft->units_per_EM;
        FT_Done_Face(ft);
    }
    FT_Done_FreeType(lib);
    return ratio;
}

std::string package_config(const std::string& module_file) {
    const auto conf = std::filesystem::path(module_file).parent_path() / "fonts" / "fonts.conf";
    std::error_code ec;
    return std::filesystem::is_regular_file(conf, ec) ? conf.string() : std::string();
}

}  // namespace vestrel::fonts
