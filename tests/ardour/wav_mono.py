"""Reads a WAV file as Ardour exports it (16-bit PCM) into one channel of floats, for the
Ardour test's checkers. Plain Python, no third-party modules."""
import struct
import wave


def read_mono(path):
    """Returns (rate, samples): the channels averaged, full scale 1.0."""
    with wave.open(path, "rb") as w:
        if w.getsampwidth() != 2:
            raise SystemExit(f"{path}: expected 16-bit samples, got {8 * w.getsampwidth()} bits")
        rate, channels, frames = w.getframerate(), w.getnchannels(), w.getnframes()
        raw = w.readframes(frames)
    if len(raw) != frames * channels * 2:
        raise SystemExit(f"{path}: truncated ({len(raw)} of {frames * channels * 2} bytes)")
    values = struct.unpack(f"<{frames * channels}h", raw)
    return rate, [sum(values[i:i + channels]) / (channels * 32768.0) for i in range(0, len(values), channels)]
