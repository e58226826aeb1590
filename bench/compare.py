#!/usr/bin/env python3
"""Chantera against FluidSynth on the same rendering work, plus the kernel ratios.

Called by bench/compare.sh, which installs and builds what this needs. Steps:

  prepare  writes the shared work into WORK/: one 16-bit mono recording (tone.wav, and
           the same values in a one-sample SoundFont, tone.sf2), a MIDI file that holds
           16 notes for 60 s (and one that holds them 1 s, for start-up), a FluidSynth
           command file, and a copy of the plug-in folder whose only voice is that
           recording.
  run      renders both songs with both programs, alternately, several times; takes the
           median CPU time (user + system of the child) and wall time of each; subtracts
           each program's 1 s render (start-up: loading, plus 1 s of audio) from its 60 s
           render; runs the Google Benchmark pairs; prints every ratio with pass or fail.

Only the Python standard library is used.
"""

import argparse
import array
import json
import os
import resource
import shutil
import statistics
import struct
import subprocess
import sys
import time

RATE = 44100
ROOT_NOTE = 69               # the recording's root: keys 60..75 step 0.59..1.41
KEYS = list(range(60, 76))   # 16 held notes
VELOCITY = 100
SONG_SECONDS = 60
# Long enough that the highest note (step 2^(6/12)) does not reach the end in 60 s:
# 60 × 44100 × 1.414 = 3.74 M frames.
SAMPLE_FRAMES = 4_200_000

# ---- The recording ---------------------------------------------------------------------


def recording():
    """Deterministic noise at about -24 dBFS, as signed 16-bit values."""
    period = array.array("h")
    x = 12345
    for _ in range(65521):  # a prime period, repeated
        x = (x * 1664525 + 1013904223) & 0xFFFFFFFF
        period.append(((x >> 16) & 0xFFFF) // 16 - 2048)
    values = array.array("h")
    while len(values) < SAMPLE_FRAMES:
        values.extend(period)
    del values[SAMPLE_FRAMES:]
    if sys.byteorder != "little":
        values.byteswap()
    return values


def chunk(ident, payload):
    pad = b"\0" if len(payload) & 1 else b""
    return ident + struct.pack("<I", len(payload)) + payload + pad


def write_wav(path, values):
    data = values.tobytes()
    fmt = struct.pack("<HHIIHH", 1, 1, RATE, RATE * 2, 2, 16)
    with open(path, "wb") as f:
        f.write(chunk(b"RIFF", b"WAVE" + chunk(b"fmt ", fmt) + chunk(b"data", data)))


# ---- A one-sample SoundFont 2 ----------------------------------------------------------
# RIFF 'sfbk': LIST INFO (ifil, isng, INAM), LIST sdta (smpl), LIST pdta (phdr, pbag,
# pmod, pgen, inst, ibag, imod, igen, shdr). Every pdta list ends in a terminal record.

GEN_KEY_RANGE = 43
GEN_INSTRUMENT = 41
GEN_SAMPLE_MODES = 54
GEN_OVERRIDING_ROOT_KEY = 58
GEN_SAMPLE_ID = 53


def name20(text):
    raw = text.encode("ascii")[:19]
    return raw + b"\0" * (20 - len(raw))


def zstr(text):
    raw = text.encode("ascii") + b"\0"
    return raw + (b"\0" if len(raw) & 1 else b"")


def list_chunk(kind, *chunks):
    return chunk(b"LIST", kind + b"".join(chunks))


def write_sf2(path, values, loop):
    frames = len(values)
    smpl = values.tobytes() + b"\0" * (46 * 2)  # at least 46 zero values after a sample
    info = list_chunk(b"INFO", chunk(b"ifil", struct.pack("<HH", 2, 1)), chunk(b"isng", zstr("EMU8000")),
                      chunk(b"INAM", zstr("Chantera bench")))
    sdta = list_chunk(b"sdta", chunk(b"smpl", smpl))

    # phdr: name[20], preset, bank, bag index, library, genre, morphology (38 bytes).
    phdr = struct.pack("<20sHHHIII", name20("Bench"), 0, 0, 0, 0, 0, 0)
    phdr += struct.pack("<20sHHHIII", name20("EOP"), 0, 0, 1, 0, 0, 0)
    # pbag / ibag: generator index, modulator index (4 bytes).
    pbag = struct.pack("<HH", 0, 0) + struct.pack("<HH", 1, 0)
    # pmod / imod: source, destination, amount, amount source, transform (10 bytes).
    pmod = struct.pack("<HHhHH", 0, 0, 0, 0, 0)
    # pgen / igen: operator, amount (4 bytes); a range is two bytes low, high.
    pgen = struct.pack("<HH", GEN_INSTRUMENT, 0) + struct.pack("<HH", 0, 0)
    # inst: name[20], bag index (22 bytes).
    inst = struct.pack("<20sH", name20("Bench"), 0) + struct.pack("<20sH", name20("EOI"), 1)
    igens = [
        struct.pack("<HBB", GEN_KEY_RANGE, 0, 127),  # keyRange comes first in a zone
        struct.pack("<HH", GEN_SAMPLE_MODES, 1 if loop else 0),
        struct.pack("<HH", GEN_OVERRIDING_ROOT_KEY, ROOT_NOTE),
        struct.pack("<HH", GEN_SAMPLE_ID, 0),  # sampleID comes last
    ]
    igen = b"".join(igens) + struct.pack("<HH", 0, 0)
    ibag = struct.pack("<HH", 0, 0) + struct.pack("<HH", len(igens), 0)
    imod = struct.pack("<HHhHH", 0, 0, 0, 0, 0)
    # shdr: name[20], start, end, loop start, loop end, rate, original pitch, pitch
    # correction, sample link, sample type (1: mono) (46 bytes).
    shdr = struct.pack("<20sIIIIIBbHH", name20("tone"), 0, frames, 8, frames - 8, RATE, ROOT_NOTE, 0, 0, 1)
    shdr += struct.pack("<20sIIIIIBbHH", name20("EOS"), 0, 0, 0, 0, 0, 0, 0, 0, 0)
    pdta = list_chunk(b"pdta", chunk(b"phdr", phdr), chunk(b"pbag", pbag), chunk(b"pmod", pmod),
                      chunk(b"pgen", pgen), chunk(b"inst", inst), chunk(b"ibag", ibag), chunk(b"imod", imod),
                      chunk(b"igen", igen), chunk(b"shdr", shdr))
    with open(path, "wb") as f:
        f.write(chunk(b"RIFF", b"sfbk" + info + sdta + pdta))


# ---- The songs -------------------------------------------------------------------------


def vlq(n):
    out = [n & 0x7F]
    n >>= 7
    while n:
        out.append(0x80 | (n & 0x7F))
        n >>= 7
    return bytes(reversed(out))


def write_midi(path, seconds):
    division = 480  # 120 beats a minute (the default tempo): 960 ticks a second
    track = bytearray()
    track += vlq(0) + b"\xFF\x51\x03" + (500000).to_bytes(3, "big")
    for key in KEYS:
        track += vlq(0) + bytes([0x90, key, VELOCITY])
    for i, key in enumerate(KEYS):
        track += vlq(seconds * 960 if i == 0 else 0) + bytes([0x80, key, 0])
    track += vlq(0) + b"\xFF\x2F\x00"
    with open(path, "wb") as f:
        f.write(b"MThd" + struct.pack(">IHHH", 6, 0, 1, division))
        f.write(b"MTrk" + struct.pack(">I", len(track)) + bytes(track))


def prepare(args):
    work = args.work
    os.makedirs(work, exist_ok=True)
    values = recording()
    plugin_dir = os.path.join(work, "Chantera")
    voice_dir = os.path.join(plugin_dir, "bench")
    os.makedirs(voice_dir, exist_ok=True)
    shutil.copy2(args.plugin, os.path.join(plugin_dir, "Chantera.so"))
    write_wav(os.path.join(voice_dir, "tone.wav"), values)
    with open(os.path.join(plugin_dir, "voice.csv"), "w") as f:
        f.write("Bench,bench\n")
    with open(os.path.join(voice_dir, "samples.txt"), "w") as f:
        f.write("tone.wav,tone,%d\n" % ROOT_NOTE)
    with open(os.path.join(voice_dir, "programs.txt"), "w") as f:
        f.write("Program\nP,1.0,2,tone\nS,0,127,tone.wav\nEnd\n")
    write_sf2(os.path.join(work, "tone.sf2"), values, loop=False)
    write_midi(os.path.join(work, "song60.mid"), SONG_SECONDS)
    write_midi(os.path.join(work, "song1.mid"), 1)
    with open(os.path.join(work, "fluidsynth.cmd"), "w") as f:
        f.write("interp 1\n")  # linear interpolation on every channel
    print("prepared %s: %d-frame recording, 16 notes at keys %d..%d, root %d" %
          (work, SAMPLE_FRAMES, KEYS[0], KEYS[-1], ROOT_NOTE))


# ---- Timing ----------------------------------------------------------------------------


def timed(command):
    """Runs command; returns (wall seconds, CPU seconds of the child: user + system)."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    done = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if done.returncode != 0:
        sys.exit("failed: %s\n%s" % (" ".join(command), done.stderr.decode(errors="replace")))
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return wall, cpu


def chantera_command(args, song, out):
    return [args.render, os.path.join(args.work, song), "-o", out, "--plugin",
            os.path.join(args.work, "Chantera", "Chantera.so"), "--no-lyrics", "--tail", "0", "-q"]


def fluidsynth_command(args, song, out):
    return ["fluidsynth", "-ni", "-q", "-R", "0", "-C", "0", "-r", str(RATE), "-O", "s16", "-T", "wav", "-F", out,
            "-f", os.path.join(args.work, "fluidsynth.cmd"), os.path.join(args.work, "tone.sf2"),
            os.path.join(args.work, song)]


def wav_frames(path):
    with open(path, "rb") as f:
        data = f.read()
    i = 12
    while i + 8 <= len(data):
        ident, size = data[i:i + 4], struct.unpack("<I", data[i + 4:i + 8])[0]
        if ident == b"data":
            return size // 4
        i += 8 + size + (size & 1)
    return 0


def verdict(ok):
    return "PASS" if ok else "FAIL"


def load_average():
    try:
        with open("/proc/loadavg") as f:
            return " ".join(f.read().split()[:3])
    except OSError:
        return "?"


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "?"


def run_peer(args):
    out = os.path.join(args.work, "out")
    os.makedirs(out, exist_ok=True)
    jobs = {
        ("chantera", 60): chantera_command(args, "song60.mid", os.path.join(out, "chantera60.wav")),
        ("chantera", 1): chantera_command(args, "song1.mid", os.path.join(out, "chantera1.wav")),
        ("fluidsynth", 60): fluidsynth_command(args, "song60.mid", os.path.join(out, "fluidsynth60.wav")),
        ("fluidsynth", 1): fluidsynth_command(args, "song1.mid", os.path.join(out, "fluidsynth1.wav")),
    }
    walls = {k: [] for k in jobs}
    cpus = {k: [] for k in jobs}
    for job in jobs.values():  # one untimed round: page cache and dynamic loader warm
        timed(job)
    for rep in range(args.repeat):
        # Alternate the programs, and the order within a round from round to round.
        order = list(jobs) if rep % 2 == 0 else list(reversed(list(jobs)))
        for key in order:
            wall, cpu = timed(jobs[key])
            walls[key].append(wall)
            cpus[key].append(cpu)
    med = lambda xs: statistics.median(xs)
    frames = {k: wav_frames(os.path.join(out, "%s%d.wav" % k)) for k in jobs}
    print("\n== Rendering: 16 held voices, 16-bit mono, linear interpolation, 60 s (%d rounds, medians) ==" %
          args.repeat)
    print("%-12s %10s %10s %10s %10s %12s" % ("program", "cpu 60 s", "cpu 1 s", "wall 60 s", "wall 1 s", "frames 60 s"))
    for prog in ("chantera", "fluidsynth"):
        print("%-12s %9.3fs %9.3fs %9.3fs %9.3fs %12d" %
              (prog, med(cpus[(prog, 60)]), med(cpus[(prog, 1)]), med(walls[(prog, 60)]), med(walls[(prog, 1)]),
               frames[(prog, 60)]))
    # Steady state: the 60 s render less the 1 s render of the same setup is 59 s of
    # rendering (and writing) with start-up taken out.
    steady = {}
    for prog in ("chantera", "fluidsynth"):
        diffs = [a - b for a, b in zip(cpus[(prog, 60)], cpus[(prog, 1)])]
        steady[prog] = med(diffs)
    voice_frames = len(KEYS) * (SONG_SECONDS - 1) * RATE
    for prog in ("chantera", "fluidsynth"):
        print("%-12s steady state %.3f s CPU for 59 s of audio: %.2f ns per voice-frame (file writing included)" %
              (prog, steady[prog], steady[prog] / voice_frames * 1e9))
    ratio = steady["fluidsynth"] / steady["chantera"] if steady["chantera"] > 0 else float("inf")
    print("FluidSynth / Chantera, steady state: %.2fx   (target >= 2.5x)  %s" % (ratio, verdict(ratio >= 2.5)))
    startup = {p: med(cpus[(p, 1)]) for p in ("chantera", "fluidsynth")}
    print("start-up (1 s render, CPU): Chantera %.3f s, FluidSynth %.3f s" % (startup["chantera"], startup["fluidsynth"]))
    return {"steady_ratio": ratio, "pass": ratio >= 2.5}


# ---- Google Benchmark pairs ------------------------------------------------------------


def run_kernels(args):
    out = os.path.join(args.work, "kernels.json")
    command = [args.bench, "--benchmark_repetitions=%d" % args.repeat, "--benchmark_report_aggregates_only=true",
               "--benchmark_enable_random_interleaving=true", "--benchmark_out=" + out,
               "--benchmark_out_format=json"]
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    with open(out) as f:
        results = json.load(f)["benchmarks"]
    median = {}
    for r in results:
        if r.get("aggregate_name") == "median":
            median[r["run_name"]] = r
    # CPU time, not wall time: on a shared machine wall time also counts what others ran.
    time_of = lambda name: median[name]["cpu_time"]  # same unit within a pair
    rows = []
    for looped in (False, True):
        for frames in (64, 512, 4096):
            ours = "BM_RenderStretch16Voices%s/%d" % ("Looped" if looped else "", frames)
            floors = ["BM_FloorKernel16Voices/%d" % frames, "BM_FloorVectorKernel16Voices/%d" % frames]
            floor = min(time_of(f) for f in floors if f in median)
            label = "render %d-frame stretch%s / fastest floor" % (frames, ", looped," if looped else "")
            rows.append((label, time_of(ours) / floor, 1.3))
    rows.append(("demo voice load / plain read of the same files",
                 time_of("BM_LoadDemoVoice") / time_of("BM_PlainReadDemoVoice"), 1.3))
    rows.append(("Chorus rebuild of 1 s / streaming floor",
                 time_of("BM_RebuildSampleOneSecond") / time_of("BM_StreamFloorOneSecond"), None))
    print("\n== Kernels (Google Benchmark, %d repetitions interleaved, medians) ==" % args.repeat)
    for name in sorted(median):
        r = median[name]
        extra = ""
        if "per_voice_frame" in r:
            extra = "  %.2f ns per voice-frame" % (r["per_voice_frame"] * 1e9)
        print("  %-40s %12.3f %s CPU%s" % (name, r["cpu_time"], r["time_unit"], extra))
    ok = True
    for label, ratio, target in rows:
        if target is None:
            print("%-48s %6.2fx  (reported)" % (label, ratio))
        else:
            print("%-48s %6.2fx  (target <= %.1fx)  %s" % (label, ratio, target, verdict(ratio <= target)))
            ok = ok and ratio <= target
    if "BM_ConstructSamplerDemoVoice" in median:
        r = median["BM_ConstructSamplerDemoVoice"]
        print("%-48s %8.2f %s CPU, %.2f %s wall" % ("instance construction with the demo voice", r["cpu_time"],
                                                   r["time_unit"], r["real_time"], r["time_unit"]))
    return ok


def run_startup(args):
    """Whole-process start-up of the renderer: a one-note song with the demo voice."""
    song = os.path.join(args.work, "tiny.mid")
    track = (vlq(0) + bytes([0x90, 60, 100]) + vlq(480) + bytes([0x80, 60, 0]) + vlq(0) + b"\xFF\x2F\x00")
    with open(song, "wb") as f:
        f.write(b"MThd" + struct.pack(">IHHH", 6, 0, 1, 480) + b"MTrk" + struct.pack(">I", len(track)) + track)
    command = [args.render, song, "-o", os.path.join(args.work, "out", "tiny.wav"), "--tail", "0", "-q"]
    timed(command)
    walls, cpus = [], []
    for _ in range(args.repeat):
        wall, cpu = timed(command)
        walls.append(wall)
        cpus.append(cpu)
    print("\n== Start-up ==\nchantera-render of a one-note song (demo voice, 0.5 s): wall %.3f s, CPU %.3f s (medians)" %
          (statistics.median(walls), statistics.median(cpus)))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("step", choices=["prepare", "run", "all"])
    parser.add_argument("--work", required=True)
    parser.add_argument("--plugin", help="Chantera.so to copy into the bench plug-in folder")
    parser.add_argument("--render", help="chantera-render")
    parser.add_argument("--bench", help="chantera_bench")
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    if args.step in ("prepare", "all"):
        prepare(args)
    if args.step in ("run", "all"):
        print("machine: %d processors, %s; load average %s" % (os.cpu_count(), cpu_model(), load_average()))
        peer = run_peer(args)
        kernels = run_kernels(args)
        run_startup(args)
        print("\nload average at the end: %s" % load_average())
        ok = peer["pass"] and kernels
        print("overall: %s" % verdict(ok))
        if not ok:
            sys.exit(1)


if __name__ == "__main__":
    main()
