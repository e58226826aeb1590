#!/usr/bin/env python3
"""Checks that a rendered WAV file sings the expected notes in tune.

    check_pitch.py FILE.wav NOTE@START+LENGTH ...      (e.g. 60@0.0+0.5, seconds)

For each note, the middle of its time span (after the attack, before the release) must be
loud enough to be heard, and its fundamental, found by autocorrelation, must lie within
a third of a semitone of the note's frequency (440 Hz at note 69). The quiet before the
first note must be silence. Plain Python, no third-party modules: the file is a 16-bit
PCM WAV as Ardour exports it.
"""
import math
import sys
from wav_mono import read_mono

TOLERANCE_CENTS = 33.0
MIN_RMS = 0.01  # of full scale
LOWEST_HZ, HIGHEST_HZ = 60.0, 1500.0


def rms(xs):
    return math.sqrt(sum(x * x for x in xs) / len(xs)) if xs else 0.0


def fundamental(xs, rate):
    """Frequency of the strongest period by normalised autocorrelation, refined by a
    parabola through the peak; the shortest lag that comes close to the best one wins, so
    that a period twice as long (an octave below) is not taken for the fundamental."""
    mean = sum(xs) / len(xs)
    xs = [x - mean for x in xs]
    n = len(xs)
    lo, hi = int(rate / HIGHEST_HZ), int(rate / LOWEST_HZ)
    energy = sum(x * x for x in xs)
    if energy == 0.0:
        return 0.0
    corr = [0.0] * (hi + 2)
    for lag in range(lo - 1, hi + 2):
        corr[lag] = sum(xs[i] * xs[i + lag] for i in range(n - lag)) / energy * n / (n - lag)
    best = max(corr[lo:hi + 1])
    for lag in range(lo, hi + 1):
        if corr[lag] >= 0.9 * best and corr[lag] >= corr[lag - 1] and corr[lag] >= corr[lag + 1]:
            a, b, c = corr[lag - 1], corr[lag], corr[lag + 1]
            shift = 0.5 * (a - c) / (a - 2 * b + c) if a - 2 * b + c != 0 else 0.0
            return rate / (lag + shift)
    return 0.0


def main(argv):
    if len(argv) < 3:
        raise SystemExit(__doc__)
    rate, mono = read_mono(argv[1])
    notes = []
    for note_span in argv[2:]:
        key, span = note_span.split("@")
        start, length = span.split("+")
        notes.append((int(key), float(start), float(length)))

    failures = 0
    first = min(start for _, start, _ in notes)
    if first >= 0.1:
        # Ardour's export may start the phrase a block or two (tens of ms) early or late:
        # the silence is looked for in the first half of the lead-in only.
        before = rms(mono[:int(first * 0.5 * rate)])
        ok = before < MIN_RMS / 10
        failures += not ok
        print(f"before the first note: rms {before:.5f} {'ok' if ok else 'NOT SILENT'}")
    for key, start, length in notes:
        # The middle of the note: 100 ms after the start, at most 200 ms of it.
        a = int((start + 0.1) * rate)
        b = min(int((start + min(length - 0.05, 0.3)) * rate), len(mono))
        window = mono[a:b]
        expected = 440.0 * 2.0 ** ((key - 69) / 12.0)
        level = rms(window)
        if level < MIN_RMS:
            print(f"note {key} at {start:.2f} s: rms {level:.4f}, SILENT")
            failures += 1
            continue
        hz = fundamental(window, rate)
        cents = 1200.0 * math.log2(hz / expected) if hz > 0 else float("inf")
        ok = abs(cents) <= TOLERANCE_CENTS
        failures += not ok
        print(f"note {key} at {start:.2f} s: rms {level:.3f}, {hz:7.2f} Hz "
              f"(expected {expected:7.2f}, {cents:+.1f} cents) {'ok' if ok else 'OUT OF TUNE'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
