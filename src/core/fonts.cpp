#include "core/fonts.hpp"

#include <fontconfig/fontconfig.h>

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

bool installed(FcConfig* cfg, const std::string& family, const render::FontFace& face) {
    FcPattern* pat = FcPatternCreate();
    FcPatternAddString(pat, FC_FAMILY, reinterpret_cast<const FcChar8*>(family.c_str()));
    FcObjectSet* os = FcObjectSetBuild(FC_WEIGHT, FC_SLANT, nullptr);
    FcFontSet* set = FcFontList(cfg, pat, os);
    bool found = false;
    const int want_weight = FcWeightFromOpenType(face.weight);
    for (int i = 0; set && i < set->nfont && !found; ++i) {
        int weight = 0, slant = FC_SLANT_ROMAN;
        if (FcPatternGetInteger(set->fonts[i], FC_WEIGHT, 0, &weight) != FcResultMatch) continue;
        FcPatternGetInteger(set->fonts[i], FC_SLANT, 0, &slant);
        found = weight == want_weight && (slant != FC_SLANT_ROMAN) == face.italic;
    }
    if (set) FcFontSetDestroy(set);
    FcObjectSetDestroy(os);
    FcPatternDestroy(pat);
    return found;
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

}  // namespace vestrel::fonts
