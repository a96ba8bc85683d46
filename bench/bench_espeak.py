"""The offline voice: a German text of about 1,500 characters (about 75 s of speech) spoken by
the "espeak" engine into an MP3 at 192 kbit/s.

Reports the time, the real-time factor (seconds of speech per second of work; the goal is at
least 50x), how much of the time the MP3 encode takes (the same synthesis written as WAV is
the synthesis alone), and, as a peer measured in the same run, the WAV followed by an ffmpeg
child process encoding the same MP3.
"""

import json
import os
import shutil
import subprocess
import tempfile

from run import timed

from vestrel import tts

TEXT = (
    "Heute zeige ich dir, wie du mit wenig Aufwand bessere Videos mit deinem Handy drehst. "
    "Der erste Tipp ist ganz einfach: Achte auf das Licht. Stell dich so hin, dass das Fenster "
    "vor dir ist und nicht hinter dir, denn sonst siehst du nur einen dunklen Schatten. "
    "Der zweite Tipp betrifft den Ton. Viele Leute vergessen, dass schlechter Ton ein gutes Bild "
    "sofort ruiniert. Ein kleines Mikrofon zum Anstecken kostet nicht viel und macht einen "
    "riesigen Unterschied. Wenn du keins hast, dann geh wenigstens nah an das Handy heran und "
    "nimm in einem Raum mit Teppich und Vorhängen auf. Der dritte Tipp: Halte die Kamera ruhig. "
    "Lehne dich an eine Wand, stütze die Ellbogen auf oder benutze ein kleines Stativ. "
    "Verwackelte Aufnahmen wirken unprofessionell und machen die Zuschauer nervös. "
    "Viertens solltest du im Hochformat filmen, wenn das Video für kurze Clips gedacht ist. "
    "So füllt dein Bild den ganzen Bildschirm aus, und niemand muss das Handy drehen. "
    "Fünftens: Schneide gnadenlos. Jede Sekunde, in der nichts passiert, kostet dich "
    "Zuschauer. Entferne Pausen, Versprecher und Wiederholungen, und komm schnell zum Punkt. "
    "Sechstens lohnt es sich, Untertitel einzubauen, weil viele Leute Videos ohne Ton "
    "anschauen, zum Beispiel im Bus oder im Wartezimmer. Und zum Schluss noch ein Rat: "
    "Bleib dran und veröffentliche regelmäßig. Niemand ist am Anfang perfekt, aber mit jedem "
    "Video lernst du etwas dazu. Wenn dir diese Tipps geholfen haben, dann folge dem Kanal "
    "und schreib mir in die Kommentare, welches Thema du als Nächstes sehen möchtest."
)


def _duration(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format=duration", "-of",
                          "json", path], capture_output=True, text=True, check=True).stdout
    return float(json.loads(out)["format"]["duration"])


def run():
    if shutil.which("ffmpeg") is None or shutil.which("ffprobe") is None:
        return [("espeak", "skipped: ffmpeg not found")]
    folder = tempfile.mkdtemp(prefix="vestrel-bench-espeak-")
    try:
        engine = tts.EspeakVoiceModule("de")
        mp3 = os.path.join(folder, "voice.mp3")
        wav = os.path.join(folder, "voice.wav")
        engine.generate_voice("Hallo.", mp3)  # loads espeak-ng's data once, outside the timing

        t_mp3, _ = timed(engine.generate_voice, TEXT, mp3, repeat=5)
        t_wav, _ = timed(engine.generate_voice, TEXT, wav, repeat=5)
        speech = _duration(mp3)
        assert abs(speech - _duration(wav)) < 0.1, "MP3 and WAV lengths differ"

        peer_mp3 = os.path.join(folder, "peer.mp3")

        def wav_then_ffmpeg():
            engine.generate_voice(TEXT, wav)
            subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y", "-i", wav, "-ar", "44100",
                            "-c:a", "libmp3lame", "-b:a", "192k", peer_mp3], check=True)

        t_peer, _ = timed(wav_then_ffmpeg, repeat=3)
        encode = max(t_mp3 - t_wav, 0.0)
        factor = speech / t_mp3
        return [
            ("text (characters)", f"{len(TEXT)}"),
            ("speech (s)", f"{speech:.1f}"),
            ("espeak -> MP3 192k, in-process (s)", f"{t_mp3:.3f}"),
            ("real-time factor (goal >= 50x)",
             f"{factor:.0f}x ({'met' if factor >= 50 else 'NOT met'})"),
            ("espeak -> WAV, synthesis alone (s)", f"{t_wav:.3f}"),
            ("share of the MP3 encode (resample + LAME)", f"{100 * encode / t_mp3:.0f}%"),
            ("peer: WAV then ffmpeg child process to MP3 (s)", f"{t_peer:.3f}"),
            ("in-process speed-up over the peer", f"{t_peer / t_mp3:.2f}x"),
        ]
    finally:
        shutil.rmtree(folder, ignore_errors=True)
