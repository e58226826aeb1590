#!/usr/bin/env python3
"""Writes the voice whose vowels the Ardour test times (check_onsets.py).

    make_onset_voice.py FOLDER

Three syllables, each recorded once at 48 kHz: a consonant of noise 40, 90 or 150 ms long,
then the vowel, a steady sine at the recording's root note, from exactly that point. The
folder's oto.ini says so (offset 0, preutterance = the consonant, overlap a third of it),
samples.txt lists the recordings and programs.txt maps them:
  program 0 "a": the vowel alone (no consonant, no entry in oto.ini), on every key;
  program 1 "k": keys up to 66 sing k40 (root 64), 67 to 71 k90 (root 69), 72 and up
  k150 (root 74): which consonant a note gets, and how fast it plays, follow its key.
Plain Python, no third-party modules.
"""
import math
import os
import random
import struct
import sys
import wave

RATE = 48000
VOWEL_SECONDS = 1.2
NOISE_LEVEL = 0.25  # peak of the consonant's noise
TONE_LEVEL = 0.5  # peak of the vowel
# name, consonant in ms, root key, lowest and highest key of program 1
SYLLABLES = (("k40", 40, 64, 0, 66), ("k90", 90, 69, 67, 71), ("k150", 150, 74, 72, 127))


def hz(key):
    return 440.0 * 2.0 ** ((key - 69) / 12.0)


def write_wav(path, values):
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(b"".join(struct.pack("<h", max(-32767, min(32767, round(v * 32767)))) for v in values))


def recording(consonant_ms, root, rng):
    """Noise for the consonant, then the vowel starting at its exact frame, both with 2 ms
    ends so that nothing but the vowel's own start is a step in the tone."""
    consonant = round(consonant_ms * RATE / 1000)
    vowel = round(VOWEL_SECONDS * RATE)
    edge = RATE // 500
    values = []
    for i in range(consonant):
        fade = min(1.0, i / edge, (consonant - i) / edge)
        values.append(NOISE_LEVEL * fade * rng.uniform(-1.0, 1.0))
    w = 2.0 * math.pi * hz(root) / RATE
    for i in range(vowel):
        values.append(TONE_LEVEL * min(1.0, (vowel - i) / edge) * math.sin(w * i))
    return values


def main(argv):
    if len(argv) != 2:
        raise SystemExit(__doc__)
    folder = argv[1]
    os.makedirs(folder, exist_ok=True)
    rng = random.Random(24)
    samples = ["a.wav,a,69"]
    oto = []
    ranges = []
    write_wav(os.path.join(folder, "a.wav"), recording(0, 69, rng))
    for name, consonant, root, low, high in SYLLABLES:
        write_wav(os.path.join(folder, f"{name}.wav"), recording(consonant, root, rng))
        samples.append(f"{name}.wav,{name},{root}")
        oto.append(f"{name}.wav={name},0,{consonant},0,{consonant},{round(consonant / 3)}")
        ranges.append(f"S,{low},{high},{name}.wav")
    with open(os.path.join(folder, "samples.txt"), "w", newline="") as f:
        f.write("".join(line + "\r\n" for line in samples))
    with open(os.path.join(folder, "oto.ini"), "w", newline="") as f:
        f.write("".join(line + "\r\n" for line in oto))
    programs = ["Program", "P,1.0,2,a", "S,0,127,a.wav", "End", "Program", "P,1.0,2,k", *ranges, "End"]
    with open(os.path.join(folder, "programs.txt"), "w", newline="") as f:
        f.write("".join(line + "\r\n" for line in programs))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
