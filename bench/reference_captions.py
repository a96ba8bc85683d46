"""A plain-Python rendering of the caption construction rule, step by step.

The benchmark measures vestrel.captions against it, and the tests compare the two on random
word lists. It writes the cleaned texts back into the input words, as the module does.
"""

from dataclasses import dataclass, field

CONNECTORS = [" und", " oder", " and", " but", " or"]


@dataclass
class CaptionWord:
    start: float
    end: float
    text: str

    @staticmethod
    def create_by_transcription(word):
        return CaptionWord(word.start, word.end, word.text)


@dataclass
class CaptionLine:
    start: float
    end: float
    text: str = ""
    words: list = field(default_factory=list)

    @staticmethod
    def create_by_transcription(list_of_words):
        return CaptionLine(
            start=list_of_words[0].start,
            end=list_of_words[-1].end,
            text="".join(w.text for w in list_of_words),
            words=[CaptionWord.create_by_transcription(w) for w in list_of_words],
        )


@dataclass
class Captions:
    lines: list
    font: str = "sans-serif"
    size: int = 60
    position: str = "center"
    _duration: float = 0.0


def find_greatest_pause(objects):
    objects = sorted(objects, key=lambda w: w.end)
    greatest_pause = 0
    greatest_pause_object = objects[0]
    hit = False
    for i in range(len(objects) - 1):
        pause = objects[i + 1].start - objects[i].end
        if pause > greatest_pause:
            greatest_pause = pause
            greatest_pause_object = objects[i]
            hit = True
    return greatest_pause_object if hit else None


def _same(a, b):
    return a is b or (a.text == b.text and a.start == b.start and a.end == b.end)


def create_by_transcription(list_of_words, frame_width=700, font="Roboto-Bold", fontsize=50,
                            chars_per_line=25):
    max_line_length = chars_per_line
    sentences = []
    current_sentence = []
    for word in list_of_words:
        current_sentence.append(word)
        if "<split>" in word.text or any(c in word.text for c in ".!?"):
            word.text = word.text.replace("<split>", "")
            sentences.append(current_sentence)
            current_sentence = []
    if current_sentence:
        sentences.append(current_sentence)

    list_of_lines = []

    def split_segment(segment):
        segment_length = sum(len(w.text) for w in segment)
        if segment_length <= max_line_length or len(segment) == 1:
            list_of_lines.append(segment)
            return
        new_segments = [[]]
        greatest_pause_object = find_greatest_pause(segment)
        done = False
        if greatest_pause_object is not None:
            splited = False
            for word in segment:
                new_segments[-1].append(word)
                if _same(word, greatest_pause_object) and not splited:
                    new_segments.append([])
                    splited = True
            # Pause word last in segment order: the split would give the segment back.
            done = bool(new_segments[-1])
        if not done and any(w.text in CONNECTORS for w in segment[:-1]):
            new_segments = [[]]
            splited = False
            for word in segment[:-1]:
                new_segments[-1].append(word)
                if word.text in CONNECTORS and not splited:
                    new_segments.append([])
                    splited = True
            new_segments[-1].append(segment[-1])
            done = True
        if not done:
            half = len(segment) // 2
            new_segments = [segment[:half], segment[half:]]
        for part in new_segments:
            split_segment(part)

    for sentence in sentences:
        split_segment(sentence)
    lines = [CaptionLine.create_by_transcription(part) for part in list_of_lines]
    return Captions(lines=lines, font=font, size=fontsize)
