"""The silence-removal stage written directly against pydub, step by step.

Tests and the benchmark compare vestrel.montra's silence removal with it: same ranges, same
output audio. It is the baseline, not part of the package.
"""

from pydub import AudioSegment
from pydub.silence import detect_nonsilent


def remove_silence_reference(input_audio, output_audio, min_silence_duration=0.3):
    audio = AudioSegment.from_file(input_audio)
    nonsilent_ranges = detect_nonsilent(audio, min_silence_len=100, silence_thresh=-60)
    if not nonsilent_ranges:
        return input_audio
    pause = AudioSegment.silent(duration=int(min_silence_duration * 1000))
    output = AudioSegment.empty()
    for i, (start, end) in enumerate(nonsilent_ranges):
        output += audio[start:end]
        if i < len(nonsilent_ranges) - 1:
            output += pause
    fmt = output_audio.split(".")[-1].lower()
    if fmt == "mp3":
        output.export(output_audio, format="mp3", bitrate="192k")
    else:
        output.export(output_audio, format=fmt)
    return output_audio
