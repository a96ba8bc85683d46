// The simulator's template files: a JSON document (parsed by the binding) checked field by
// field into a ProjectTemplate. Any field of the wrong type or out of range refuses the whole
// file, as Resolve refuses a project file it cannot read.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/resolve_sim.hpp"

namespace vestrel::resolve_sim {

// The format tag a template file carries.
inline constexpr const char* kTemplateFormat = "vestrel-resolve-sim-project";

// A parsed JSON value. true/false are no numbers; an integer keeps its value in `integer`
// (saturated at the int64 range), as a number in `number` and its digits in `text`.
struct Json {
    enum class Type { Null, Bool, Int, Float, Text, List, Object } type = Type::Null;
    bool flag = false;
    int64_t integer = 0;
    double number = 0.0;
    std::string text;
    std::vector<Json> items;                            // a List
    std::vector<std::pair<std::string, Json>> members;  // an Object, in key order

    // The member named `key` of an Object, or nullptr.
    const Json* get(std::string_view key) const;
};

// The template a document describes; nullopt when it is no template of this format.
std::optional<ProjectTemplate> template_of(const Json& doc);

}  // namespace vestrel::resolve_sim
