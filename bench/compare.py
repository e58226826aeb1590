#!/usr/bin/env python3
"""Chantera against FluidSynth and TiMidity++ on the same rendering work, plus the kernel ratios.

Called by bench/compare.sh, which installs and builds what this needs. Steps:

  prepare  writes the shared work into WORK/: one 16-bit mono recording (tone.wav, and
           the same values in a one-sample SoundFont, tone.sf2, and in a copy of it whose
           sample is marked looped, tone-looped.sf2, for TiMidity++), a MIDI file that
           holds 16 notes for 60 s (and one that holds them 1 s, for start-up), a
           FluidSynth command file, a TiMidity++ configuration, and a copy of the plug-in
           folder whose only voice is that recording.
  run      renders both songs with the three programs, alternately, several times; takes the
           median CPU time (user + system of the child) and wall time of each; subtracts
           each program's 1 s render (start-up: loading, plus 1 s of audio) from its 60 s
           render; runs the Google Benchmark pairs and the longest audio block of a bank
           select (bankselect); prints every ratio and figure with pass or fail.

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


# ---- Many short songs ------------------------------------------------------------------

CORPUS_SONGS = 200
SYLLABLES = ["sa", "ku", "ra", "ka", "ki", "no", "ha", "na", "tsu", "ki", "yo", "mi", "a", "o", "to", "ri"]


def write_corpus(folder):
    """200 songs of 2 to 10 s for the demo voice: a melody with a romaji lyric on each note."""
    os.makedirs(folder, exist_ok=True)
    x = 2024
    def rand(n):
        nonlocal x
        x = (x * 1103515245 + 12345) & 0x7FFFFFFF
        return (x >> 8) % n
    for number in range(CORPUS_SONGS):
        seconds = 2 + rand(9)  # 2..10 s at 960 ticks a second
        track = bytearray()
        tick = 0
        pending = 0
        while tick + 240 <= seconds * 960:
            length = (1 + rand(4)) * 240
            key = 55 + rand(18)
            syllable = SYLLABLES[rand(len(SYLLABLES))].encode()
            track += vlq(pending) + b"\xFF\x05" + vlq(len(syllable)) + syllable
            track += vlq(0) + bytes([0x90, key, 64 + rand(48)])
            track += vlq(length) + bytes([0x80, key, 0])
            tick += length
            pending = 0
        track += vlq(0) + b"\xFF\x2F\x00"
        with open(os.path.join(folder, "song%03d.mid" % number), "wb") as f:
            f.write(b"MThd" + struct.pack(">IHHH", 6, 0, 1, 480))
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
    # TiMidity++ lets a sample that is not looped die away within a quarter of a second
    # whatever the envelope says; marked looped (8 frames in from each end, which no note
    # reaches in 60 s) it sustains, and plays the same values as the other two.
    write_sf2(os.path.join(work, "tone-looped.sf2"), values, loop=True)
    write_midi(os.path.join(work, "song60.mid"), SONG_SECONDS)
    write_midi(os.path.join(work, "song1.mid"), 1)
    with open(os.path.join(work, "fluidsynth.cmd"), "w") as f:
        f.write("interp 1\n")  # linear interpolation on every channel
    with open(os.path.join(work, "fluidsynth-sinc.cmd"), "w") as f:
        f.write("interp 7\n")  # its highest interpolation: a windowed sinc
    with open(os.path.join(work, "fluidsynth-default.cmd"), "w") as f:
        f.write("\n")  # its default interpolation (4th order)
    with open(os.path.join(work, "timidity.cfg"), "w") as f:
        f.write("soundfont %s\n" % os.path.join(os.path.abspath(work), "tone-looped.sf2"))
    write_corpus(os.path.join(work, "corpus"))
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


def chantera_command(args, song, out, quality="live"):
    return [args.render, os.path.join(args.work, song), "-o", out, "--plugin",
            os.path.join(args.work, "Chantera", "Chantera.so"), "--no-lyrics", "--tail", "0", "-q",
            "--quality", quality]


def fluidsynth_command(args, song, out, commands="fluidsynth.cmd"):
    return ["fluidsynth", "-ni", "-q", "-R", "0", "-C", "0", "-r", str(RATE), "-O", "s16", "-T", "wav", "-F", out,
            "-f", os.path.join(args.work, commands), os.path.join(args.work, "tone.sf2"),
            os.path.join(args.work, song)]


def timidity_command(args, song, out):
    # Linear interpolation; chorus, reverb, delay, the voice filter and noise shaping off;
    # 16-bit stereo WAV. Its resample cache stays on, as TiMidity++ normally runs.
    return ["timidity", "-c", os.path.join(args.work, "timidity.cfg"), "-idqq", "-s", str(RATE), "-Ow1S", "-o", out,
            "-EFresamp=l", "-EFchorus=d", "-EFreverb=d", "-EFdelay=d", "-EFvlpf=d", "-EFns=0",
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


PEERS = ("chantera", "fluidsynth", "timidity", "chantera-high", "fluidsynth-sinc", "fluidsynth-default")
PEER_NAMES = {"chantera": "Chantera", "fluidsynth": "FluidSynth", "timidity": "TiMidity++",
              "chantera-high": "Chantera high", "fluidsynth-sinc": "FluidSynth interp 7",
              "fluidsynth-default": "FluidSynth default"}
# (label, figure, target, pass) of every target, printed together at the end.
TARGETS = []


def target(label, figure, goal, ok):
    TARGETS.append((label, figure, goal, ok))
    print("%-58s %10s  (target %s)  %s" % (label, figure, goal, verdict(ok)))


def run_peer(args):
    out = os.path.join(args.work, "out")
    os.makedirs(out, exist_ok=True)
    commands = {"chantera": chantera_command, "fluidsynth": fluidsynth_command, "timidity": timidity_command,
                "chantera-high": lambda a, song, o: chantera_command(a, song, o, "high"),
                "fluidsynth-sinc": lambda a, song, o: fluidsynth_command(a, song, o, "fluidsynth-sinc.cmd"),
                "fluidsynth-default": lambda a, song, o: fluidsynth_command(a, song, o, "fluidsynth-default.cmd")}
    jobs = {}
    for prog in PEERS:
        for seconds in (60, 1):
            jobs[(prog, seconds)] = commands[prog](args, "song%d.mid" % seconds,
                                                   os.path.join(out, "%s%d.wav" % (prog, seconds)))
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
    print("\n== Rendering: 16 held voices, 16-bit mono, 60 s (%d rounds, medians); linear interpolation but for"
          " Chantera's Quality high and FluidSynth's sinc and default ==" % args.repeat)
    print("%-12s %10s %10s %10s %10s %12s" % ("program", "cpu 60 s", "cpu 1 s", "wall 60 s", "wall 1 s", "frames 60 s"))
    for prog in PEERS:
        print("%-12s %9.3fs %9.3fs %9.3fs %9.3fs %12d" %
              (prog, med(cpus[(prog, 60)]), med(cpus[(prog, 1)]), med(walls[(prog, 60)]), med(walls[(prog, 1)]),
               frames[(prog, 60)]))
    # Steady state: the 60 s render less the 1 s render of the same setup is 59 s of
    # rendering (and writing) with start-up taken out; the difference is taken within
    # each round, then the median over the rounds.
    steady = {}
    for prog in PEERS:
        diffs = [a - b for a, b in zip(cpus[(prog, 60)], cpus[(prog, 1)])]
        steady[prog] = med(diffs)
    voice_frames = len(KEYS) * (SONG_SECONDS - 1) * RATE
    for prog in PEERS:
        print("%-12s steady state %.3f s CPU for 59 s of audio: %.2f ns per voice-frame (file writing included)" %
              (prog, steady[prog], steady[prog] / voice_frames * 1e9))
    for peer, ours, goal in (("fluidsynth", "chantera", 3.5), ("timidity", "chantera", 1.3),
                             ("fluidsynth-sinc", "chantera-high", 1.0), ("fluidsynth-default", "chantera-high", 1.0)):
        ratio = steady[peer] / steady[ours] if steady[ours] > 0 else float("inf")
        target("whole render: %s / %s, steady state" % (PEER_NAMES[peer], PEER_NAMES[ours]), "%.2fx" % ratio,
               ">= %.1fx" % goal, ratio >= goal)
    print("start-up (1 s render, CPU): " +
          ", ".join("%s %.3f s" % (PEER_NAMES[p], med(cpus[(p, 1)])) for p in PEERS))


# ---- Google Benchmark pairs ------------------------------------------------------------


def run_kernels(args):
    out = os.path.join(args.work, "kernels.json")
    command = [args.bench, "--benchmark_repetitions=%d" % args.repeat, "--benchmark_report_aggregates_only=true",
               "--benchmark_enable_random_interleaving=true", "--benchmark_out=" + out,
               "--benchmark_out_format=json", "--benchmark_filter=-BM_BankSelect"]
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
    for frames in (512, 4096):  # vibrato and glides: pitches set anew every 64 frames
        floors = ["BM_FloorKernel16Voices/%d" % frames, "BM_FloorVectorKernel16Voices/%d" % frames]
        floor = min(time_of(f) for f in floors if f in median)
        rows.append(("render %d-frame stretch, vibrato and glide, / fastest floor" % frames,
                     time_of("BM_RenderStretch16VoicesModulated/%d" % frames) / floor, 1.3))
    # Quality high against linear interpolation: the instrument's live render of the same
    # voices, and the plain linear kernel (one loop per voice), per voice-frame.
    high = time_of("BM_RenderStretch16VoicesHigh/512")
    print("  Quality high / the instrument's live render of the same stretch: %.2fx" %
          (high / time_of("BM_RenderStretch16Voices/512")))
    rows.append(("Quality high, 512-frame stretch / plain linear kernel",
                 high / time_of("BM_FloorKernel16Voices/512"), 3.0))
    rows.append(("demo voice load / plain read of the same files",
                 time_of("BM_LoadDemoVoice") / time_of("BM_PlainReadDemoVoice"), 1.3))
    rows.append(("Chorus rebuild of 1 s / streaming floor",
                 time_of("BM_RebuildSampleOneSecond") / time_of("BM_StreamFloorOneSecond"), 5.0))
    print("\n== Kernels (Google Benchmark, %d repetitions interleaved, medians) ==" % args.repeat)
    for name in sorted(median):
        r = median[name]
        extra = ""
        if "per_voice_frame" in r:
            extra = "  %.2f ns per voice-frame" % (r["per_voice_frame"] * 1e9)
        print("  %-40s %12.3f %s CPU%s" % (name, r["cpu_time"], r["time_unit"], extra))
    for label, ratio, goal in rows:
        target(label, "%.2fx" % ratio, "<= %.1fx" % goal, ratio <= goal)
    first = time_of("BM_ConstructSamplerDemoVoice")
    second = time_of("BM_ConstructSecondInstanceDemoVoice")
    target("second instance with the demo voice / the first", "%.1f%%" % (100.0 * second / first), "<= 10%",
           second <= 0.10 * first)
    memory = median["BM_EightInstancesSampleMemory/iterations:3"]
    memory_ratio = memory["eight_instances_bytes"] / memory["one_instance_bytes"]
    print("sample memory: one instance %.1f MB, eight instances %.1f MB" %
          (memory["one_instance_bytes"] / 1e6, memory["eight_instances_bytes"] / 1e6))
    target("sample memory of eight instances / of one", "%.2fx" % memory_ratio, "<= 1.2x", memory_ratio <= 1.2)
    if "BM_ConstructSamplerDemoVoice" in median:
        r = median["BM_ConstructSamplerDemoVoice"]
        print("%-48s %8.2f %s CPU, %.2f %s wall" % ("instance construction with the demo voice", r["cpu_time"],
                                                   r["time_unit"], r["real_time"], r["time_unit"]))


def run_bank_select(args):
    """The longest process call of 512-frame blocks, paced as a live host asks for them,
    while a bank select loads the demo voice: in the background (a host playing live) from
    the page cache and with its files dropped from it, against the voice read inside the
    block (an offline render, and every bank select before voices loaded beside the one
    that sings)."""
    os.makedirs(args.work, exist_ok=True)
    out = os.path.join(args.work, "bank_select.json")
    command = [args.bench, "--benchmark_filter=BM_BankSelect", "--benchmark_repetitions=%d" % args.repeat,
               "--benchmark_out=" + out, "--benchmark_out_format=json"]
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    with open(out) as f:
        results = json.load(f)["benchmarks"]
    runs = {}
    for r in results:
        if r.get("run_type") == "iteration" and "error_occurred" not in r:
            runs.setdefault(r["run_name"], []).append(r)
    print("\n== Bank select: longest process call of a 512-frame block (%d runs of 10 switches, medians) ==" %
          args.repeat)
    longest = {}
    for background in (1, 0):
        for cold in (1, 0):
            name = "BM_BankSelectLongestBlock/background:%d/cold:%d/iterations:10/manual_time" % (background, cold)
            if name not in runs:
                print("  %s: no result" % name)
                continue
            rs = runs[name]
            worst = statistics.median(r["longest_block_ms"] for r in rs)
            mean = statistics.median(r["real_time"] for r in rs)  # ms: the benchmark's unit
            blocks = statistics.median(r["blocks"] for r in rs)
            cpu = statistics.median(r["longest_block_cpu_ms"] for r in rs)
            waits = sum(r["waits"] for r in rs)
            preempted = sum(r["preempted"] for r in rs)
            label = "%s, %s" % ("loaded beside (live)" if background else "loaded in the block (offline)",
                                "files not cached" if cold else "files cached")
            print("  %-45s longest %8.3f ms (CPU %8.3f ms), mean of each switch's longest %8.3f ms, %5.1f blocks, "
                  "%d waits, %d preemptions" % (label, worst, cpu, mean, blocks, waits, preempted))
            longest[(background, cold)] = worst
    realtime = all(r.get("real_time_priority") == 1 for rs in runs.values() for r in rs)
    print("  audio thread at a real-time priority (SCHED_FIFO) as hosts run it: %s" %
          ("yes" if realtime else "no: the system refused, so other threads may preempt it"))
    for cold in (1, 0):
        if (1, cold) in longest:
            figure = longest[(1, cold)]
            target("bank select, longest block, %s" % ("files not cached" if cold else "files cached"),
                   "%.3f ms" % figure, "<= 1 ms", figure <= 1.0)


def run_many(args):
    """The 200-song corpus with the demo voice: one chantera-render for all of them against
    one chantera-render per song, each with as many at once as there are processors."""
    corpus = os.path.join(args.work, "corpus")
    songs = sorted(f for f in os.listdir(corpus) if f.endswith(".mid"))
    workers = os.cpu_count() or 1
    batch_out = os.path.join(args.work, "out", "batch")
    single_out = os.path.join(args.work, "out", "single")
    os.makedirs(single_out, exist_ok=True)

    def batch():
        return timed([args.render, corpus, "-o", batch_out, "--jobs", str(workers), "-q"])

    def one_per_song():
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        start = time.perf_counter()
        running = []
        for song in songs:
            if len(running) == workers:
                running.pop(0).wait()
            running.append(subprocess.Popen([args.render, os.path.join(corpus, song), "-o",
                                             os.path.join(single_out, song[:-4] + ".wav"), "-q"],
                                            stdout=subprocess.DEVNULL))
        for process in running:
            process.wait()
        wall = time.perf_counter() - start
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        return wall, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)

    batch()
    one_per_song()
    results = {"batch": [], "single": []}
    for rep in range(args.repeat):
        order = [("batch", batch), ("single", one_per_song)]
        if rep % 2:
            order.reverse()
        for name, run in order:
            results[name].append(run())
    identical = all(open(os.path.join(batch_out, s[:-4] + ".wav"), "rb").read() ==
                    open(os.path.join(single_out, s[:-4] + ".wav"), "rb").read() for s in songs)
    wall = {k: statistics.median(w for w, _ in v) for k, v in results.items()}
    cpu = {k: statistics.median(c for _, c in v) for k, v in results.items()}
    print("\n== Many songs: %d songs of 2 to 10 s, demo voice, %d at once (%d rounds, medians) ==" %
          (len(songs), workers, args.repeat))
    print("one process, --jobs %d:  wall %.2f s (%.1f songs/s), CPU %.2f s" %
          (workers, wall["batch"], len(songs) / wall["batch"], cpu["batch"]))
    print("one process per song:    wall %.2f s (%.1f songs/s), CPU %.2f s" %
          (wall["single"], len(songs) / wall["single"], cpu["single"]))
    print("outputs identical to one-at-a-time renders: %s" % ("yes" if identical else "NO"))
    ratio = wall["single"] / wall["batch"]
    target("many songs: songs per second, one process / one per song", "%.2fx" % ratio, ">= 4.0x",
           ratio >= 4.0 and identical)


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
    parser.add_argument("--only", default="peer,kernels,bankselect,startup,many",
                        help="comma-separated parts to run (peer, kernels, bankselect, startup, many)")
    args = parser.parse_args()
    parts = set(args.only.split(","))
    if args.step in ("prepare", "all"):
        prepare(args)
    if args.step in ("run", "all"):
        print("machine: %d processors, %s; load average %s" % (os.cpu_count(), cpu_model(), load_average()))
        if "peer" in parts:
            run_peer(args)
        if "kernels" in parts:
            run_kernels(args)
        if "bankselect" in parts:
            run_bank_select(args)
        if "startup" in parts:
            run_startup(args)
        if "many" in parts:
            run_many(args)
        print("\nload average at the end: %s" % load_average())
        print("\n== Targets ==")
        for label, figure, goal, passed in TARGETS:
            print("%-58s %10s  (target %s)  %s" % (label, figure, goal, verdict(passed)))
        ok = all(t[3] for t in TARGETS)
        print("overall: %s" % verdict(ok))
        if not ok:
            sys.exit(1)


if __name__ == "__main__":
    main()
