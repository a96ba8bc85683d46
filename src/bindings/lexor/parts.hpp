// The pieces of vestrel.lexor: the transcript records, the Whisper run and the alignment.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <vector>

namespace vestrel::lexor {

namespace nb = nanobind;

// Records Word, Segment, Transcription (with their character edits and converters).
void register_records(nb::module_& m);
// STABLE_WHISPER_AVAILABLE, the model cache, get_whisper_model, generate_transcription.
void register_whisper(nb::module_& m);
// The "builtin" model's run: a Transcription of `reference_text` timed in the audio file.
nb::object builtin_transcription(nb::handle audio_filepath, nb::handle reference_text,
                                 nb::handle language);
// get_words, normalise_transcription, update_transcription, split_by_scenes.
void register_alignment(nb::module_& m);

// The module itself, whose attributes are read at call time.
nb::handle self_module();

// Every word of a transcription in reading order (segment by segment, word by word).
nb::list words_of(nb::handle transcription);

// The text of a word, checked to be a str as joining the texts requires
// ("sequence item 3: expected str instance, int found").
nb::object word_text(nb::handle word, std::size_t item);

// Raises `type` with a message given as code points (kept exact, surrogates included).
[[noreturn]] void raise_text(PyObject* type, nb::handle message);

}  // namespace vestrel::lexor
