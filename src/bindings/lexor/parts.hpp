// The pieces of vestrel.lexor: the transcript records, the Whisper run and the alignment.
#pragma once

#include <nanobind/nanobind.h>

#include "bindings/common/declare.hpp"
#include "bindings/common/module.hpp"

namespace vestrel::bind::lexor {

namespace nb = nanobind;
using namespace vestrel::py;

// vestrel.lexor; its attributes (get_words, the model cache, the record classes) are read
// through it at call time, as every caller sees them.
inline ModuleRef this_module;

// Records Word, Segment, Transcription (with their character edits and converters).
void register_records(nb::module_& m);
// STABLE_WHISPER_AVAILABLE, the model cache, get_whisper_model, generate_transcription.
void register_whisper(nb::module_& m);
// The "builtin" model's run: a Transcription of `reference_text` timed in the audio file.
nb::object builtin_transcription(nb::handle audio_filepath, nb::handle reference_text,
                                 nb::handle language);
// get_words, normalise_transcription, update_transcription, split_by_scenes.
void register_alignment(nb::module_& m);

}  // namespace vestrel::bind::lexor
