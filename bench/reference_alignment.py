"""The alignment rules written out step by step, character by character, in plain Python.

This is the yardstick for vestrel.lexor: the differential tests compare every result and
every error against it, and the benchmark measures against it. It works on any objects shaped
like the transcript records (segments with words with a text), and is deliberately the slow,
obvious form: the joined text is rebuilt after every character and each insertion walks from
the first word.

With mended=True (the module's behaviour) these faults of the plain rule are mended:
- normalising looks at the ends of the script's spoken text (the script without its commands,
  as the speech text given to the aligner is made) instead of its raw first and last
  characters, so a command at an edge does not make it trim a space the script speaks;
- a command with no spoken character after it is appended to the last word's text instead of
  failing with IndexError, and so is a whitespace character past the end of the transcript
  (an aligner may drop the trailing space of its text);
- in the scene split a word with an empty text goes with the word before it (a leading one
  with the first character read) instead of stopping the walk.
"""

import re


def get_words(transcription):
    words = []
    for segment in transcription.segments:
        for word in segment.words:
            words.append(word)
    return words


def _locate(transcription, index):
    counter = 0
    for segment in transcription.segments:
        for word in segment.words:
            for j, _ in enumerate(word.text):
                if counter == index:
                    return word, j
                counter += 1
    raise IndexError


def update_char(transcription, index, char):
    word, j = _locate(transcription, index)
    word.text = word.text[:j] + char + word.text[j + 1:]


def insert_char(transcription, index, char):
    word, j = _locate(transcription, index)
    word.text = word.text[:j] + char + word.text[j:]


def pop(transcription, index):
    word, j = _locate(transcription, index)
    removed = word.text[j]
    word.text = word.text[:j] + word.text[j + 1:]
    return removed


def normalise_transcription(transcription, original_text, mended=True):
    words = get_words(transcription)
    if mended:
        original_text = re.sub(r"<[^>]*>", "", original_text)
    if words[0].text.startswith(" ") and not original_text.startswith(" "):
        words[0].text = words[0].text[1:]
    if words[-1].text.endswith(" ") and not original_text.endswith(" "):
        words[-1].text = words[-1].text[:-1]


def update_transcription(transcription, original_text, mended=True):
    normalise_transcription(transcription, original_text, mended)
    transcription_text = "".join(w.text for w in get_words(transcription))
    in_command = False
    for i, char in enumerate(original_text):
        if char == "<":
            in_command = True
        if char == ">":
            in_command = False
        if in_command or char == ">":
            if mended and i == len(transcription_text):
                get_words(transcription)[-1].text += char
            else:
                insert_char(transcription, i, char)
        elif mended and i == len(transcription_text) and char.isspace() \
                and get_words(transcription):
            get_words(transcription)[-1].text += char
        elif char != transcription_text[i]:
            raise Exception(char + " != " + transcription_text[i])
        transcription_text = "".join(w.text for w in get_words(transcription))


def split_by_scenes(transcription, scenes, mended=True):
    transcription_scenes = []
    transcription_text = "".join(w.text for w in get_words(transcription))
    words = get_words(transcription)
    word_lengths = [len(w.text) for w in words]
    word_index = 0
    current_word_length = 0
    pos = 0

    def hand_over(scene):
        nonlocal word_index, current_word_length
        scene.append(words[word_index])
        word_index += 1
        current_word_length = 0
        if mended:
            while word_index < len(words) and word_lengths[word_index] == 0:
                scene.append(words[word_index])
                word_index += 1

    for scene_index, scene_text in enumerate(scenes):
        transcription_scenes.append([])
        for char in scene_text:
            if char != transcription_text[pos]:
                raise Exception("[lexor] Character missmatch: " + char + " != "
                                + transcription_text[pos])
            if current_word_length == word_lengths[word_index]:
                hand_over(transcription_scenes[scene_index])
            current_word_length += 1
            pos += 1
    if current_word_length == word_lengths[word_index]:
        if mended and not transcription_scenes:
            return transcription_scenes
        hand_over(transcription_scenes[-1])
    return transcription_scenes


def spoken_text(script):
    """The spoken text of a script: every character outside commands, as the alignment
    reads it ("<" opens a command, ">" closes it and is not spoken either)."""
    out, in_command = [], False
    for c in script:
        if c == "<":
            in_command = True
        if c == ">":
            in_command = False
        if not (in_command or c == ">"):
            out.append(c)
    return "".join(out)
