#!/usr/bin/env python3
"""Checks that a rendered WAV file sings each vowel on its note, its consonant before it.

    check_onsets.py FILE.wav NOTE@START+LENGTH:LEAD ...      (e.g. 74@0.40+0.40:150)

The voice of make_onset_voice.py: each recording is a consonant of noise, then a vowel
that is a sine at the note's pitch. For each note:
- the vowel's onset is where the sine's envelope at the note's frequency, measured with a
  20 ms Hann window (symmetric: a step in the level crosses half of it at the step),
  rises through half of its peak near the note; it must lie within 10 ms of the note-on;
- the consonant's onset is where the noise above the tones (a second difference, which
  the sines below 1 kHz barely pass) rises through half of the consonant's level, back
  from the vowel; it must lead the vowel by LEAD ms (the consonant the note's recording
  has at its pitch, shortened by the rules for notes that follow others closely) within
  10 ms.
Prints each note's measured offsets in ms. Plain Python, no third-party modules: the file
is a 16-bit PCM WAV as Ardour exports it.
"""
import cmath
import math
import sys
from wav_mono import read_mono

TOLERANCE_MS = 10.0
WINDOW_S = 0.020  # of the vowel's envelope
HOP_S = 0.0005
SEARCH_S = 0.200  # the vowel is looked for this far either side of its note-on
NOISE_WINDOW_S = 0.004
MIN_LEVEL = 0.01  # of full scale: below, the note is silent


def tone_envelope(mono, rate, hz, first, last):
    """Amplitude of the sine at hz around each hop from first to last (seconds): a list of
    (time, amplitude)."""
    n = int(WINDOW_S * rate)
    window = [0.5 - 0.5 * math.cos(2.0 * math.pi * (i + 0.5) / n) for i in range(n)]
    gain = 2.0 / sum(window)
    a, b = max(0, int(first * rate) - n), min(len(mono), int(last * rate) + n)
    turn = cmath.exp(-2j * math.pi * hz / rate)
    mixed, phasor = [], 1.0 + 0.0j
    for i in range(a, b):
        mixed.append(mono[i] * phasor)
        phasor *= turn
    envelope = []
    t = first
    while t <= last:
        start = int(round(t * rate)) - n // 2 - a
        if 0 <= start and start + n <= len(mixed):
            total = sum(w * x for w, x in zip(window, mixed[start:start + n]))
            envelope.append((t, abs(total) * gain))
        t += HOP_S
    return envelope


def noise_envelope(mono, rate, first, last):
    """RMS of the second difference in windows of NOISE_WINDOW_S around each hop: white
    noise comes through it stronger (by the square root of 6), a sine at f weaker, by
    (2 sin(pi f / rate)) squared: under 2 % at 1 kHz."""
    n = int(NOISE_WINDOW_S * rate)
    envelope = []
    t = first
    while t <= last:
        start = max(1, int(round(t * rate)) - n // 2)
        xs = [mono[i + 1] - 2.0 * mono[i] + mono[i - 1] for i in range(start, min(start + n, len(mono) - 1))]
        envelope.append((t, math.sqrt(sum(x * x for x in xs) / len(xs)) if xs else 0.0))
        t += HOP_S
    return envelope


def crossing_back(envelope, level, from_time):
    """Going back from from_time, the time at which the envelope last rose through level
    (linear between hops); None when it never falls below it."""
    points = [p for p in envelope if p[0] <= from_time]
    for (t0, v0), (t1, v1) in zip(reversed(points[:-1]), reversed(points[1:])):
        if v0 < level <= v1:
            return t0 + (t1 - t0) * (level - v0) / (v1 - v0)
    return None


def check_note(mono, rate, key, start, length, lead_ms):
    """Returns (ok, line) for one note."""
    label = f"note {key} at {start:.3f} s"
    hz = 440.0 * 2.0 ** ((key - 69) / 12.0)
    # The vowel's peak near its note: a short note may fade out early, over the overlap of
    # the note after it; a vowel far off its note is still found and its offset shown.
    envelope = tone_envelope(mono, rate, hz, start - SEARCH_S, start + max(length, SEARCH_S))
    peak_time, peak = max(((t, v) for t, v in envelope if t >= start - SEARCH_S / 2), key=lambda p: p[1])
    if peak < MIN_LEVEL:
        return False, f"{label}: no vowel at {hz:.1f} Hz near its note-on, SILENT"
    vowel = crossing_back(envelope, peak / 2, peak_time)
    if vowel is None:
        return False, f"{label}: the vowel is at half its level {SEARCH_S * 1000:.0f} ms before the note-on, TOO EARLY"
    offset_ms = (vowel - start) * 1000.0
    ok = abs(offset_ms) <= TOLERANCE_MS
    line = f"{label}: vowel {offset_ms:+6.1f} ms"
    # The consonant: its noise level is taken in the middle of where it should be, then
    # followed back from the vowel's onset.
    expected = lead_ms / 1000.0
    noise = noise_envelope(mono, rate, vowel - SEARCH_S, vowel)
    middle = sorted(v for t, v in noise if vowel - expected * 0.75 <= t <= vowel - expected * 0.25)
    if lead_ms <= 0:
        line += ", no consonant expected"
    elif not middle or middle[len(middle) // 2] < MIN_LEVEL:
        ok = False
        line += f", NO CONSONANT before it (expected {lead_ms:g} ms)"
    else:
        consonant = crossing_back(noise, middle[len(middle) // 2] / 2, vowel - expected * 0.5)
        if consonant is None:
            ok = False
            line += f", consonant longer than {SEARCH_S * 1000:.0f} ms (expected {lead_ms:g} ms)"
        else:
            measured_ms = (vowel - consonant) * 1000.0
            ok = ok and abs(measured_ms - lead_ms) <= TOLERANCE_MS
            line += f", consonant {measured_ms:5.1f} ms before it (expected {lead_ms:g})"
    return ok, line + (" ok" if ok else " OFF THE BEAT")


def main(argv):
    if len(argv) < 3:
        raise SystemExit(__doc__)
    rate, mono = read_mono(argv[1])
    failures = 0
    for note in argv[2:]:
        key, rest = note.split("@")
        span, lead = rest.split(":")
        start, length = span.split("+")
        ok, line = check_note(mono, rate, int(key), float(start), float(length), float(lead))
        print(line)
        failures += not ok
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
