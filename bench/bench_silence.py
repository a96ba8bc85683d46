"""Silence removal: the detection core against pydub's detect_nonsilent, and the whole
remove_silence_from_audio against the same stage written step by step with pydub.

Inputs are voice-like signals (phrases of a buzzing 140 Hz voice with syllable rhythm and
breath noise, separated by digital silence) of 60 s and 10 min, MP3 at 192k; outputs are MP3
at 192k. Results must be identical: the same ranges, the same output file bytes.
"""

import os
import shutil
import subprocess
import tempfile
import warnings

warnings.simplefilter("ignore", DeprecationWarning)

from pydub import AudioSegment  # noqa: E402
from pydub.silence import detect_nonsilent  # noqa: E402
from run import timed  # noqa: E402
from silence_reference import remove_silence_reference  # noqa: E402

from vestrel import montra  # noqa: E402

# Phrase gate from three incommensurate slow waves, syllable envelope, a voice with vibrato
# and two overtones, a little noise; exactly zero between phrases.
VOICE = (
    "gt(sin(2*PI*0.23*t)+0.6*sin(2*PI*0.61*t+1)+0.4*sin(2*PI*1.37*t+2)\\,0.3)"
    "*(0.35+0.65*pow(sin(2*PI*3.7*t)\\,2))"
    "*(0.5*sin(2*PI*(140*t+0.5*sin(2*PI*5*t)))+0.25*sin(4*PI*(140*t+0.5*sin(2*PI*5*t)))"
    "+0.12*sin(6*PI*140*t)+0.03*(random(0)-0.5))"
)


def _ffmpeg(*args):
    subprocess.run(["ffmpeg", "-loglevel", "error", "-y", *args], check=True)


def _make_inputs(folder):
    wav60 = os.path.join(folder, "voice60.wav")
    _ffmpeg("-f", "lavfi", "-i", f"aevalsrc=exprs='{VOICE}':s=44100:d=60", wav60)
    mp3_60 = os.path.join(folder, "voice60.mp3")
    _ffmpeg("-i", wav60, "-b:a", "192k", mp3_60)
    mp3_600 = os.path.join(folder, "voice600.mp3")
    _ffmpeg("-stream_loop", "9", "-i", wav60, "-b:a", "192k", mp3_600)
    return [("60 s", mp3_60), ("10 min", mp3_600)]


def run():
    if shutil.which("ffmpeg") is None:
        return [("silence", "skipped: ffmpeg not found")]
    rows = []
    folder = tempfile.mkdtemp(prefix="vestrel-bench-silence-")
    try:
        for label, src in _make_inputs(folder):
            audio = AudioSegment.from_file(src)
            repeat = 3 if label == "60 s" else 1
            t_pydub, expected = timed(detect_nonsilent, audio, 100, -60, repeat=repeat)
            t_core, got = timed(montra._detect_nonsilent, audio.raw_data, audio.sample_width,
                                audio.channels, audio.frame_rate, repeat=5)
            assert got == expected, "core ranges differ from pydub's"
            rows.append((f"detect {label}: pydub detect_nonsilent (s)", f"{t_pydub:.3f}"))
            rows.append((f"detect {label}: core (s)", f"{t_core:.4f}"))
            rows.append((f"detect {label}: speed-up ({len(got)} ranges)",
                         f"{t_pydub / t_core:.0f}x"))

            # The whole stage, both reading and writing MP3 at 192k.
            ref_out = os.path.join(folder, f"ref-{label[:2]}.mp3")
            ours_in = os.path.join(folder, f"ours{label[:2]}.mp3")
            shutil.copy(src, ours_in)
            t_ref, _ = timed(remove_silence_reference, src, ref_out, repeat=repeat)
            t_ours, ours_out = timed(montra.remove_silence_from_audio, ours_in, repeat=repeat)
            with open(ref_out, "rb") as a, open(ours_out, "rb") as b:
                assert a.read() == b.read(), "output files differ"
            rows.append((f"stage {label}: pure pydub (s)", f"{t_ref:.3f}"))
            rows.append((f"stage {label}: remove_silence_from_audio (s)", f"{t_ours:.3f}"))
            rows.append((f"stage {label}: speed-up", f"{t_ref / t_ours:.2f}x"))

            # Where the rest goes: decoding and encoding, the same pydub calls on both sides.
            t_decode, _ = timed(AudioSegment.from_file, src, repeat=repeat)
            t_encode, _ = timed(lambda: audio.export(os.path.join(folder, "enc.mp3"),
                                                     format="mp3", bitrate="192k").close(),
                                repeat=repeat)
            rows.append((f"stage {label}: of which decoding, shared (s)", f"{t_decode:.3f}"))
            rows.append((f"stage {label}: encoding the whole input, shared (s)",
                         f"{t_encode:.3f}"))
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    return rows
