"""vestrel.captions: records, construction of caption lines, timing and the timing report."""

import random
import sys
from dataclasses import dataclass
from fractions import Fraction
from pathlib import Path
from types import SimpleNamespace

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
import reference_captions as ref  # noqa: E402

from vestrel import captions  # noqa: E402
from vestrel.captions import CaptionLine, Captions, CaptionWord  # noqa: E402


@dataclass
class Word:
    text: str = ""
    start: float = 0
    end: float = 0


def words(*specs):
    """Words from (text, start, end) triples."""
    return [Word(t, s, e) for t, s, e in specs]


def back_to_back(*texts, length=0.5):
    """Words spoken without pauses."""
    return [Word(t, i * length, (i + 1) * length) for i, t in enumerate(texts)]


def line_texts(caps):
    return [line.text for line in caps.lines]


def as_tuples(caps):
    return (caps.font, caps.size, caps.position,
            [(l.start, l.end, l.text, [(w.start, w.end, w.text) for w in l.words])
             for l in caps.lines])


# --- records ---------------------------------------------------------------------------------

def test_records_construct_compare_and_default_like_generated_records():
    w = CaptionWord(0.0, 0.4, "Hello")
    assert w == CaptionWord(start=0.0, end=0.4, text="Hello")
    assert w != CaptionWord(0.0, 0.4, "hello")
    assert repr(w) == "CaptionWord(start=0.0, end=0.4, text='Hello')"
    a, b = CaptionLine(0.0, 1.0), CaptionLine(0.0, 1.0)
    assert a.text == "" and a.words == [] and a == b
    a.words.append(w)
    assert b.words == []  # a fresh list per line
    c = Captions(lines=[])
    assert (c.font, c.size, c.position, c._duration) == ("sans-serif", 60, "center", 0.0)
    assert Captions([a], "Arial", 40, "top", 1.5).position == "top"
    with pytest.raises(TypeError):
        Captions()
    with pytest.raises(TypeError):
        CaptionWord(0.0, 1.0)


def test_montra_reexports_the_captions_class():
    from vestrel import montra

    assert montra.Captions is Captions


def test_word_and_line_copy_their_input_words():
    src = Word(" Hi", 0.5, 0.9)
    cw = CaptionWord.create_by_transcription(src)
    assert cw == CaptionWord(0.5, 0.9, " Hi") and type(cw) is CaptionWord
    src.text = " changed"
    assert cw.text == " Hi"

    line = CaptionLine.create_by_transcription(words(("Hello", 0.0, 0.4), (" world.", 0.5, 1.0)))
    assert line == CaptionLine(0.0, 1.0, "Hello world.",
                               [CaptionWord(0.0, 0.4, "Hello"), CaptionWord(0.5, 1.0, " world.")])


@pytest.mark.parametrize("value, error, message", [
    ((Word("a", 0, 1),), TypeError,
     "Argument 'list_of_words' has incorrect type (expected list, got tuple)"),
    ([], IndexError, "list index out of range"),
])
def test_line_refuses_non_lists_and_empty_lists(value, error, message):
    with pytest.raises(error) as e:
        CaptionLine.create_by_transcription(value)
    assert str(e.value) == message


# --- construction ----------------------------------------------------------------------------

def test_sentences_end_at_punctuation_and_lines_keep_word_times():
    ws = words(("Hello", 0.0, 0.4), (" world.", 0.5, 1.0), (" Bye", 1.2, 1.5))
    caps = Captions.create_by_transcription(ws)
    assert caps == Captions(
        lines=[CaptionLine(0.0, 1.0, "Hello world.", [CaptionWord(0.0, 0.4, "Hello"),
                                                      CaptionWord(0.5, 1.0, " world.")]),
               CaptionLine(1.2, 1.5, " Bye", [CaptionWord(1.2, 1.5, " Bye")])],
        font="Roboto-Bold", size=50)
    assert caps.position == "center"
    custom = Captions.create_by_transcription(ws, 1080, "Arial", 70)
    assert (custom.font, custom.size) == ("Arial", 70)


@pytest.mark.parametrize("texts, expected", [
    ([" a", " Dr.Smith", " b"], [" a Dr.Smith", " b"]),           # "." anywhere in a word
    ([" so?", " yes!", " ok"], [" so?", " yes!", " ok"]),
    ([" a", " <split>Next", " b"], [" a Next", " b"]),            # the mark ends it, removed
    ([" <counter>one", " two"], [" <counter>one two"]),          # other commands stay
])
def test_sentence_marks(texts, expected):
    assert line_texts(Captions.create_by_transcription(back_to_back(*texts))) == expected


def test_split_mark_is_removed_from_input_caption_word_and_line():
    ws = back_to_back(" a", " <split>Next<split>", " b")
    caps = Captions.create_by_transcription(ws)
    assert ws[1].text == " Next"
    assert caps.lines[0].words[1].text == " Next"
    assert caps.lines[0].text == " a Next"
    # Words that only end a sentence by punctuation keep their text object.
    ws = back_to_back(" a.", " b")
    before = ws[0].text
    Captions.create_by_transcription(ws)
    assert ws[0].text is before


def test_line_length_limit_is_inclusive_and_counts_code_points():
    # 25 code points (the umlauts are one each): one line; 26: split.
    fits = back_to_back(" Grüße", " aus", " dem Süden, ok!")
    assert sum(len(w.text) for w in fits) == 25
    assert len(Captions.create_by_transcription(fits).lines) == 1
    over = back_to_back(" Grüße", " aus", " dem Süden, ok!!")
    assert len(Captions.create_by_transcription(over).lines) == 2
    long = back_to_back(" " + "x" * 39)
    assert line_texts(Captions.create_by_transcription(long)) == [" " + "x" * 39]


W8 = " abcdefg"  # 8 characters: four of them never fit in 25


@pytest.mark.parametrize("specs, chars, expected_sizes", [
    # pauses 0.25, 0.5, 0.5: after the second word, the first of the equal longest pauses
    ([(W8, 0.0, 1.0), (W8, 1.25, 2.0), (W8, 2.5, 3.0), (W8, 3.5, 4.0)], 25, [2, 2]),
    # no pause: after the connector, which stays in the first part
    ([(W8, 0, 1), (W8, 1, 2), (" und", 2, 3), (W8, 3, 4), (W8, 4, 5)], 25, [3, 2]),
    # the connector as last word does not count: middle
    ([(W8, 0, 1), (W8, 1, 2), (W8, 2, 3), (W8, 3, 4), (" und", 4, 5)], 25, [2, 3]),
    # a connector with a comma or a capital is none
    ([(W8, 0, 1), (" Und", 1, 2), (" und,", 2, 3), (W8, 3, 4), (W8, 4, 5)], 25, [2, 3]),
    # no pause, no connector: middle, then again while too long
    ([(W8, 0, 1), (W8, 1, 2), (W8, 2, 3), (W8, 3, 4), (W8, 4, 5)], 25, [2, 3]),
    ([(W8, 0, 1), (W8, 1, 2), (W8, 2, 3), (W8, 3, 4), (W8, 4, 5)], 17, [2, 1, 2]),
])
def test_line_split_preference(specs, chars, expected_sizes):
    caps = Captions.create_by_transcription(words(*specs), chars_per_line=chars)
    assert [len(line.words) for line in caps.lines] == expected_sizes
    assert [w.text for line in caps.lines for w in line.words] == [s[0] for s in specs]


def test_pause_word_last_in_segment_falls_back_to_connector_then_middle():
    # The last word ends first, so the longest pause follows it: cutting after it would give
    # the whole segment back. The connector split, then the middle split are taken instead.
    ws = words((W8, 1, 2), (" and", 2, 3), (W8, 3, 4), (W8, 0, 0.5))
    assert captions.find_greatest_pause(ws) is ws[3]
    caps = Captions.create_by_transcription(ws, chars_per_line=15)
    assert [len(line.words) for line in caps.lines] == [2, 1, 1]
    ws = words((W8, 1, 2), (W8, 2, 3), (W8, 3, 4), (W8, 0, 0.5))
    caps = Captions.create_by_transcription(ws, chars_per_line=16)
    assert [len(line.words) for line in caps.lines] == [2, 2]


def test_pause_word_is_found_by_value_and_repeated_objects_are_handled():
    # Two distinct words with equal text and times: the first in spoken order is cut after.
    ws = words((W8, 0, 1), (W8, 2, 3), (W8, 0, 1), (W8, 4, 5))
    caps = Captions.create_by_transcription(ws, chars_per_line=20)
    assert len(caps.lines[0].words) == 1
    # The same object twice: its second visit sees the text written at its first.
    w = Word(" a<split>", 0, 1)
    caps = Captions.create_by_transcription([w, Word(" b", 1, 2), w])
    assert line_texts(caps) == [" a", " b a"]


def test_input_may_be_any_sequence_of_any_objects_with_the_three_attributes():
    ws = (SimpleNamespace(text=" one.", start=0, end=1), SimpleNamespace(text=" two", start=1, end=2))
    caps = Captions.create_by_transcription(iter(ws))
    assert line_texts(caps) == [" one.", " two"]
    assert caps.lines[0].start == 0 and type(caps.lines[0].start) is int
    # Texts are cleaned before any time is read: what failed later keeps its cleaned text.
    first = Word(" a<split>", 0, 1)
    with pytest.raises(AttributeError, match="'end'"):
        Captions.create_by_transcription([first, SimpleNamespace(text=" b", start=0)])
    assert first.text == " a"
    with pytest.raises(TypeError) as host:
        "<split>" in None  # noqa: B015
    with pytest.raises(TypeError) as e:
        Captions.create_by_transcription([Word(None, 0, 1)])
    assert str(e.value) == str(host.value)


def test_record_classes_are_looked_up_at_call_time(monkeypatch):
    class MyCaptions(Captions):
        pass

    monkeypatch.setattr(captions, "CaptionWord", ref.CaptionWord)
    monkeypatch.setattr(captions, "Captions", MyCaptions)
    caps = Captions.create_by_transcription(back_to_back(" a", " b."))
    assert type(caps) is MyCaptions
    assert type(caps.lines[0]) is CaptionLine and type(caps.lines[0].words[0]) is ref.CaptionWord


def test_pause_search_is_looked_up_at_call_time(monkeypatch):
    seen = []

    def no_pause(segment):
        seen.append([w.text for w in segment])
        return None

    # The longest pause follows the first word, but the replacement finds none: connector.
    ws = words((W8, 0, 1), (W8, 3, 4), (" und", 4, 5), (W8, 5, 6))
    monkeypatch.setattr(captions, "find_greatest_pause", no_pause)
    caps = Captions.create_by_transcription(ws, chars_per_line=19)
    assert [len(line.words) for line in caps.lines] == [1, 2, 1]
    assert seen == [[W8, W8, " und", W8], [W8, W8, " und"]]
    # A replacement's word is found by equality in segment order; a word not in the segment
    # (or the last one) falls back to the connector, then the middle split.
    four = words((W8, 0, 1), (W8, 1, 2), (W8, 2, 3), (W8, 3, 4))
    monkeypatch.setattr(captions, "find_greatest_pause", lambda seg: Word(W8, 0, 1))
    caps = Captions.create_by_transcription(four, chars_per_line=20)
    assert [len(line.words) for line in caps.lines] == [1, 1, 2]
    monkeypatch.setattr(captions, "find_greatest_pause", lambda seg: Word(" none", 0, 1))
    caps = Captions.create_by_transcription(words((W8, 0, 1), (W8, 1, 2), (W8, 2, 3)),
                                            chars_per_line=20)
    assert [len(line.words) for line in caps.lines] == [1, 2]


def test_record_builders_are_looked_up_at_call_time(monkeypatch):
    calls = []
    original = CaptionLine.create_by_transcription

    def line_spy(list_of_words):
        calls.append(("line", [w.text for w in list_of_words]))
        return original(list_of_words)

    def word_spy(word):
        calls.append(("word", word.text))
        return CaptionWord(word.start, word.end, word.text.upper())

    monkeypatch.setattr(CaptionLine, "create_by_transcription", staticmethod(line_spy))
    caps = Captions.create_by_transcription(back_to_back(" a", " <split>b", " c"))
    assert calls == [("line", [" a", " b"]), ("line", [" c"])]
    monkeypatch.undo()
    calls.clear()
    monkeypatch.setattr(CaptionWord, "create_by_transcription", staticmethod(word_spy))
    caps = Captions.create_by_transcription(back_to_back(" a", " b"))
    assert calls == [("word", " a"), ("word", " b")]
    assert caps.lines[0].text == " a b" and [w.text for w in caps.lines[0].words] == [" A", " B"]


def test_collector_state_is_kept():
    import gc

    assert gc.isenabled()
    Captions.create_by_transcription(back_to_back(" a", " b."))
    assert gc.isenabled()
    gc.disable()
    try:
        Captions.create_by_transcription(back_to_back(" a", " b."))
        assert not gc.isenabled()
    finally:
        gc.enable()


def test_no_words_give_no_lines_and_no_span():
    caps = Captions.create_by_transcription([])
    assert caps.lines == []
    for name in ("start", "end", "duration"):
        with pytest.raises(ValueError):
            getattr(caps, name)


@pytest.mark.parametrize("call, message", [
    (lambda: Captions.create_by_transcription(back_to_back(" a"), chars_per_line="25"),
     "'<=' not supported between instances of 'int' and 'str'"),
    (lambda: Captions.create_by_transcription(back_to_back(" a"), chars_per_line=None),
     "'<=' not supported between instances of 'int' and 'NoneType'"),
    (lambda: Captions.adjust_timing(),
     "adjust_timing() takes exactly 1 positional argument (0 given)"),
    (lambda: Captions._print_timing_debug(),
     "_print_timing_debug() takes at least 1 positional argument (0 given)"),
    (lambda: Captions(lines=[])._print_timing_debug("a", "b"),
     "_print_timing_debug() takes at most 2 positional arguments (3 given)"),
    (lambda: Captions.create_by_transcription(),
     "create_by_transcription() takes at least 1 positional argument (0 given)"),
    (lambda: Captions.calculate_max_line_length(1, 2, 3, 4, 5),
     "calculate_max_line_length() takes at most 4 positional arguments (5 given)"),
    (lambda: Captions.create_by_transcription([], width=3),
     "create_by_transcription() got an unexpected keyword argument 'width'"),
])
def test_argument_checks(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == message


def test_untyped_parameters_take_any_value():
    # Only the line length limit is ever compared, and only once there are words.
    caps = Captions.create_by_transcription([], 1080.5, None, 50.0, "25")
    assert (caps.lines, caps.font, caps.size) == ([], None, 50.0)
    ws = [Word(" abcdefghij", i, i + 1) for i in range(5)]
    caps = Captions.create_by_transcription(ws, chars_per_line=22.5)
    assert [len(line.words) for line in caps.lines] == [2, 1, 2]
    assert Captions.calculate_max_line_length(None, None, None, "30") == "30"
    assert Captions.calculate_max_line_length(chars_per_line=30.5) == 30.5
    assert Captions.estimate_average_char_width(None, 62.0) == 0.3


def test_line_length_helpers():
    assert Captions.calculate_max_line_length(1080, "Anything", 80, 30) == 30
    assert Captions.calculate_max_line_length() == 25
    assert Captions.calculate_max_line_length.__doc__ == (
        "Calculate max line length. Uses provided chars_per_line parameter.\n\n"
        "Frame width, font, and fontsize parameters are kept for backward compatibility.")
    assert Captions.estimate_average_char_width("Anything", 62) == 0.3
    assert Captions.estimate_average_char_width("x", 50) == 50 * 0.3 / 62


@pytest.mark.parametrize("specs, expected", [
    ([("a", 0.0, 1.0), ("b", 1.25, 2.0), ("c", 2.5, 3.0), ("d", 3.5, 4.0)], 1),
    ([("a", 0.0, 1.0), ("b", 1.0, 2.0)], None),      # touching: no positive pause
    ([("a", 0.0, 1.0), ("b", 0.5, 2.0)], None),      # overlapping
    ([("a", 0.0, 1.0)], None),
    ([("a", 3.0, 4.0), ("b", 0.0, 1.0), ("c", 1.0, 1.0)], 2),  # taken by end time
])
def test_find_greatest_pause(specs, expected):
    ws = words(*specs)
    found = captions.find_greatest_pause(ws)
    assert found is (None if expected is None else ws[expected])
    assert captions.find_greatest_pause(tuple(ws)) is found


def test_find_greatest_pause_reads_no_start_of_the_first_word_by_end():
    first = SimpleNamespace(text="a", end=1.0)  # no start: no pause begins before it
    ws = [Word("b", 1.5, 2.0), first]
    assert captions.find_greatest_pause(ws) is first


def test_find_greatest_pause_of_nothing_fails():
    with pytest.raises(IndexError):
        captions.find_greatest_pause([])


# --- differential: the step-by-step rule -----------------------------------------------------

TEXTS = [" und", " oder", " and", " but", " or", " Und", " so,", " Grüße", " ja", " nein",
         " Wörter", " x", " long-long-word", " <counter>drei", " Ende.", " wirklich?", " los!",
         " <split>weiter", " Dr.Smith", " 😀", " Straße", " a"]


def random_words(rng, n, in_order=True):
    out, t = [], 0.0
    for _ in range(n):
        length = rng.choice([0.1, 0.2, 0.25, 0.3, rng.uniform(0.05, 0.6)])
        gap = rng.choice([0.0, 0.0, 0.05, 0.1, 0.5, -0.05, rng.uniform(0, 1)])
        out.append((rng.choice(TEXTS), round(t, 2), round(t + length, 2)))
        t = max(t + length + gap, t)
    if not in_order:
        rng.shuffle(out)
    return out


def build(shape, repeats):
    """Word objects for `shape`, with the same object listed again where `repeats` says."""
    objs = [Word(*s) for s in shape]
    return [objs[repeats.get(i, i)] for i in range(len(objs))]


@pytest.mark.parametrize("seed", range(40))
def test_matches_the_step_by_step_rule_on_random_words(seed):
    rng = random.Random(seed)
    shape = random_words(rng, rng.randint(0, 80), in_order=seed % 4 != 3)
    chars = rng.choice([5, 12, 25, 25, 40])
    # Every fifth list repeats a few word objects at later positions.
    repeats = {}
    if seed % 5 == 4 and len(shape) > 2:
        for _ in range(3):
            j = rng.randrange(1, len(shape))
            repeats[j] = rng.randrange(0, j)
    ours, theirs = build(shape, repeats), build(shape, repeats)
    got = Captions.create_by_transcription(ours, chars_per_line=chars)
    want = ref.create_by_transcription(theirs, chars_per_line=chars)
    assert as_tuples(got) == as_tuples(want)
    assert [w.text for w in ours] == [w.text for w in theirs]
    for i, line in enumerate(got.lines):
        assert len(line.text) <= chars or len(line.words) == 1, i


class Count(int):
    pass


@pytest.mark.parametrize("limit", [
    True, 0, -3, Count(11), 10**30, -10**30, 12.9, float("nan"), float("inf"),
    float("-inf"), Fraction(25, 2),
], ids=repr)
def test_line_limits_of_every_numeric_kind_compare_as_the_host_compares(limit):
    shape = random_words(random.Random(3), 40)
    got = Captions.create_by_transcription(build(shape, {}), chars_per_line=limit)
    want = ref.create_by_transcription(build(shape, {}), chars_per_line=limit)
    assert as_tuples(got) == as_tuples(want)


# --- timing ----------------------------------------------------------------------------------

def lines_at(*spans):
    return Captions(lines=[CaptionLine(s, e, f" line{i}") for i, (s, e) in enumerate(spans)])


@pytest.mark.parametrize("spans, ends", [
    ([(0.0, 1.0), (3.0, 4.0)], [3.0, 4.0]),               # a gap is closed
    ([(0.0, 1.0), (1.0, 2.0)], [1.0, 2.0]),               # touching
    ([(0.0, 1.25), (1.0, 2.0)], [1.0, 2.0]),              # overlap under 0.5 s
    ([(0.0, 1.5), (1.0, 2.0)], [1.5, 2.0]),               # overlap of 0.5 s stays
    ([(0.0, 1.0), (2.0, 3.75), (3.0, 4.0)], [2.0, 3.75, 4.0]),
    ([(0.0, 1.0)], [1.0]),
    ([], []),
])
def test_adjust_timing(spans, ends, capsys):
    caps = lines_at(*spans)
    caps.adjust_timing()
    assert [line.end for line in caps.lines] == ends
    assert [line.start for line in caps.lines] == [s for s, _ in spans]
    out = capsys.readouterr().out
    assert out.startswith(f"[Captions] Timing Debug (after adjust_timing): {len(spans)} lines\n")
    caps.adjust_timing()  # a second run changes nothing
    assert [line.end for line in caps.lines] == ends
    assert caps._duration == 0.0


def test_span_properties_take_min_and_max_and_cache_duration():
    caps = lines_at((1.0, 3.0), (0.5, 2.0))
    assert (caps.start, caps.end) == (0.5, 3.0)
    assert caps._duration == 0.0
    assert caps.duration == 2.5 and caps._duration == 2.5
    caps.lines.append(CaptionLine(3.0, 5.0))
    assert caps.duration == 4.5 and caps._duration == 4.5


def test_timing_report_lines(capsys):
    caps = Captions.create_by_transcription(words(("Hello", 0.0, 0.4), (" world.", 0.5, 1.0)))
    caps._print_timing_debug("after adjust_timing")
    assert capsys.readouterr().out.splitlines() == [
        "[Captions] Timing Debug (after adjust_timing): 1 lines",
        "  Line 0: [0.000s - 1.000s] (1.000s) 'Hello world.'",
        "    Word 0: [0.000s - 0.400s] (0.400s) 'Hello'",
        "    Word 1: [0.500s - 1.000s] (0.500s) ' world.'",
    ]


def test_timing_report_limits_words_and_preview(capsys):
    seven = [CaptionWord(i, i + 0.5, f" w{i}") for i in range(7)]
    text = "a" * 30 + "\n" + "b" * 39
    caps = Captions(lines=[CaptionLine(0, 7, text, seven), CaptionLine(7.0, 8.0, " five", seven[:5]),
                           CaptionLine(8.0, 9.0, " none")])
    caps._print_timing_debug()
    out = capsys.readouterr().out.splitlines()
    assert out[0] == "[Captions] Timing Debug: 3 lines"
    assert out[1] == "  Line 0: [0.000s - 7.000s] (7.000s) '" + "a" * 30 + " " + "b" * 29 + "'"
    assert out[2] == "    Word 0: [0.000s - 0.500s] (0.500s) ' w0'"
    assert out[6] == "    Word 4: [4.000s - 4.500s] (0.500s) ' w4'"
    assert out[7] == "    ... and 2 more words"
    assert out[8] == "  Line 1: [7.000s - 8.000s] (1.000s) ' five'"
    assert out[9] == "    Word 0: [0.000s - 0.500s] (0.500s) ' w0'"
    assert out[14:] == ["  Line 2: [8.000s - 9.000s] (1.000s) ' none'"]
    Captions(lines=[CaptionLine(0.0, 1.0, " bare", None)])._print_timing_debug("x")
    assert capsys.readouterr().out.splitlines() == [
        "[Captions] Timing Debug (x): 1 lines", "  Line 0: [0.000s - 1.000s] (1.000s) ' bare'"]
    assert Captions._print_timing_debug.__doc__ == (
        "Debug print: Show all caption lines with their start/end times")
    assert caps._print_timing_debug.__doc__ == Captions._print_timing_debug.__doc__
    with pytest.raises(TypeError) as e:
        caps._print_timing_debug(3)
    assert str(e.value) == "Argument 'stage' has incorrect type (expected str, got int)"
