// The settings of one generation, declared once for both places that take them: the
// router's request model (endpoints.BrevanoRequest) and the pipeline's input
// (brevano.BrevanoInput). The router copies every setting from the request to the input by
// name, so a new setting is one row here and its use in the pipeline.
//
// A row is BrevanoInput's parameter (check, default, annotation) and, where the request
// declares the field otherwise, the request's annotation and default. The two classes list
// the groups in different orders (see below); within a group both follow the table.
#pragma once

#include <nanobind/nanobind.h>

#include <vector>

#include "bindings/common/declare.hpp"
#include "bindings/common/route.hpp"
#include "core/captions.hpp"

namespace vestrel::bind::brevano {

namespace nb = nanobind;
using namespace vestrel::py;

enum class Group { Voice, Resolve, Text };
// The request lists the voice, the text, then the Resolve settings; the input the voice, the
// Resolve, then the text settings.
inline constexpr Group request_order[] = {Group::Voice, Group::Text, Group::Resolve};
inline constexpr Group input_order[] = {Group::Voice, Group::Resolve, Group::Text};

struct Setting {
    Group group;
    Param input;                      // BrevanoInput's parameter
    nb::object request_annotation{};  // invalid: the input's annotation
    nb::object request_default{};     // invalid: the input's default
};

// Built at the first call (with the GIL held) and kept for the life of the process.
inline const std::vector<Setting>& settings() {
    static const std::vector<Setting>& table = *[] {
        nb::object s = str_type(), s_none = or_none(str_type()), opt_s = optional(str_type());
        using G = Group;
        return new std::vector<Setting>{
            // A request without an engine asks for the default one; the input's None means
            // "use the voice file already at the output path".
            {G::Voice, req_none("tts_engine", Kind::Str) | s_none, s, nb::str("edge")},
            {G::Voice, opt_none("edge_voice_name", Kind::Str) | s_none, opt_s},
            {G::Voice, opt_none("eleven_voice_id", Kind::Str) | s_none, opt_s},
            {G::Voice, opt_none("eleven_api_key", Kind::Str) | s_none, opt_s},
            {G::Resolve, opt("davinci_project_name", Kind::Str, nb::str("tolvane_2026")) | s},
            // The router resolves the request's template name to a path before the copy.
            {G::Resolve, opt_none("davinci_template_path", Kind::Str) | s_none},
            {G::Resolve, opt_none("pexels_api_key", Kind::Str) | s_none, opt_s},
            {G::Text, opt("whisper_model", Kind::Str, nb::str("medium")) | s},
            {G::Text, opt("language", Kind::Str, nb::str("de")) | s},
            {G::Text, opt("chars_per_line", Kind::IntTrunc,
                          nb::int_(vestrel::captions::kCharsPerLine)) | int_type()},
            {G::Text, opt("remove_silence", Kind::Bool, nb::bool_(false)) | bool_type()},
            {G::Text, opt("min_silence_duration", Kind::Float, nb::float_(0.3)) | float_type()},
        };
    }();
    return table;
}

// BrevanoInput's parameters: `head`, then the settings in the input's order.
inline std::vector<Param> input_params(std::vector<Param> head) {
    for (Group g : input_order)
        for (const Setting& s : settings())
            if (s.group == g) head.push_back(s.input);
    return head;
}

// BrevanoRequest's fields: `head`, then the settings in the request's order.
inline std::vector<ModelField> request_fields(std::vector<ModelField> head) {
    for (Group g : request_order)
        for (const Setting& s : settings()) {
            if (s.group != g) continue;
            const Param& p = s.input;
            nb::object fallback = p.required ? required() : p.default_value;
            head.push_back({p.name, s.request_annotation.is_valid() ? s.request_annotation
                                                                    : p.annotation,
                            s.request_default.is_valid() ? s.request_default : fallback});
        }
    return head;
}

}  // namespace vestrel::bind::brevano
