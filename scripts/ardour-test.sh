#!/usr/bin/env bash
# Chantera in a real host: Ardour 7 (Debian's package) scans build/Chantera/Chantera.so,
# must see a stereo instrument without inputs, "VST Sampler 1.0" by "Brisol", then renders
# a short phrase through it headless (ardour7-lua, Dummy backend) and the exported WAV
# must sing each note at its pitch (tests/ardour/check_pitch.py).
#
# Then the LV2 and VST3 builds (build/Chantera.lv2, build/Chantera.vst3): the LV2 bundle's
# Turtle files must pass Debian's lv2_validate and load in lv2info; each build renders the
# phrase with a program chosen in the session and a bank select to a second voice after
# the phrase, the project is saved, opened again and rendered once more: the second voice
# (the demo voice with every root note an octave higher, and no program 0) must sing the
# phrase an octave lower, which it does only with both the voice and the program restored.
#
# Then each of the two sings on the beat: a voice of syllables whose consonant is noise
# (40, 90 and 150 ms) and whose vowel is a steady tone, with an oto.ini that says where each
# vowel starts (tests/ardour/make_onset_voice.py), sings a phrase of isolated notes,
# touching ones, a short note after a long one and a note after a short rest with Timing
# "beat" set in the session; Ardour compensates the latency the instrument reports, and
# each vowel must start within 10 ms of its note, its consonant before it as long as the
# rules for notes that follow closely leave it (tests/ardour/check_onsets.py). The project
# is opened again and rendered once more: Timing is saved with it. (Ardour 7.3 learns a
# VST3 plug-in's latency only when it activates it: tests/ardour/render.lua switches the
# VST3 instrument off and on after setting Timing and after opening the project.)
#
# Ardour 7.3 aborts at exit now and then, sometimes before the WAV file is complete: a
# render counts only when it printed "export done" and left a complete WAV file, and it
# is tried up to CHANTERA_ARDOUR_TRIES times (default 5).
# Usage: scripts/ardour-test.sh          (CHANTERA_BUILD_DIR: the build folder, default build)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${CHANTERA_BUILD_DIR:-build}
tries=${CHANTERA_ARDOUR_TRIES:-5}
plugin_name="VST Sampler 1.0"
# The phrases of tests/ardour/chantera_test_notes.lua: key@start+length in seconds.
notes=(60@0.25+0.5 64@0.75+0.5 67@1.25+0.5 72@1.75+0.75)
seconds=3
# The second, with the consonant each note should lead its vowel by, in ms (:lead). The
# recording's own at the note's pitch (k40 from key 64, k90 from 69, k150 from 74: one
# semitone up shortens it by 2^(1/12)), unless the note follows another closely: touching,
# its consonant less its overlap (a third) takes at most half of the note before (74 after
# the 120 ms note: 150 -> 90); after a rest shorter than the consonant, the rest (69: 80).
onset_notes=(74@0.40+0.40:150 64@1.00+0.35:40 69@1.35+0.35:90 76@1.70+0.30:133.6 60@2.00+0.60:50.4
  67@2.60+0.12:101 74@2.72+0.40:90 69@3.20+0.30:80)
onset_seconds=4
started=$SECONDS

# ---- Ardour and the checker's interpreter --------------------------------------------
source scripts/packages.sh
# lv2_validate is a shell script around sord_validate, which Debian packages apart (sordi).
ensure_packages "The Ardour test" "ardour7-lua ardour" "python3 python3" "lv2_validate lv2-dev" \
  "sord_validate sordi" "lv2info lilv-utils"
ardour_lib=$(dirname "$(ls /usr/lib/ardour*/ardour-vst-scanner | tail -n 1)")
echo "Ardour ready ($((SECONDS - started)) s): $ardour_lib"

# ---- The plug-in -----------------------------------------------------------------------
plugin_dir=$root/$build/Chantera
if [[ ! -f $plugin_dir/Chantera.so || ! -f $plugin_dir/voice.csv || ! -f $build/Chantera.lv2/manifest.ttl ||
  ! -d $build/Chantera.vst3 ]]; then
  scripts/deps.sh
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j 2 --target chantera_plugin chantera_demo_voice chantera_lv2 chantera_vst3
fi

# ---- A private home for Ardour ---------------------------------------------------------
work=$(mktemp -d /tmp/chantera-ardour.XXXXXX)
trap '[[ -n ${CHANTERA_KEEP_ARDOUR_WORK:-} ]] || rm -rf "$work"' EXIT
export HOME=$work XDG_CONFIG_HOME=$work/config XDG_CACHE_HOME=$work/cache
mkdir -p "$XDG_CONFIG_HOME/ardour7/scripts"
# The Dummy backend is hidden unless the configuration says otherwise.
echo '<Ardour><Config><Option name="hide-dummy-backend" value="0"/></Config></Ardour>' \
  >"$XDG_CONFIG_HOME/ardour7/config"
cp tests/ardour/chantera_test_notes.lua "$XDG_CONFIG_HOME/ardour7/scripts/"

# ---- Scan: what Ardour sees ------------------------------------------------------------
LD_LIBRARY_PATH=$ardour_lib "$ardour_lib/ardour-vst-scanner" -f "$plugin_dir/Chantera.so" >"$work/scan.log" 2>&1 || {
  cat "$work/scan.log"
  echo "FAIL: ardour-vst-scanner could not scan $plugin_dir/Chantera.so" >&2
  exit 1
}
info=$(cat "$XDG_CACHE_HOME"/ardour7/vst/*.v2i 2>/dev/null | grep -o '<VST2Info [^>]*>' || true)
echo "Scanned ($((SECONDS - started)) s): $info"
attribute() { sed -n "s/.* $1=\"\\([^\"]*\\)\".*/\\1/p" <<<"$info"; }
failures=0
expect() {  # attribute expected
  local value
  value=$(attribute "$1")
  if [[ $value != "$2" ]]; then
    echo "FAIL: Ardour sees $1=\"$value\", expected \"$2\"" >&2
    failures=$((failures + 1))
  fi
}
expect name "$plugin_name"
expect creator Brisol
expect category Instrument
expect is_instrument 1
expect n_inputs 0
expect n_outputs 2
expect n_midi_inputs 1
[[ $failures -eq 0 ]] || exit 1

# ---- Render through Ardour ---------------------------------------------------------------
complete_wav() {  # RIFF size and data size agree with the file's length
  python3 - "$1" <<'EOF'
import struct, sys
data = open(sys.argv[1], "rb").read()
ok = len(data) > 44 and data[:4] == b"RIFF" and data[8:12] == b"WAVE" \
    and struct.unpack("<I", data[4:8])[0] + 8 == len(data)
pos = 12
while ok and pos + 8 <= len(data):
    tag, size = data[pos:pos + 4], struct.unpack("<I", data[pos + 4:pos + 8])[0]
    if tag == b"data":
        ok = size > 0 and pos + 8 + size <= len(data)
        break
    pos += 8 + size + (size & 1)
else:
    ok = False
sys.exit(0 if ok else 1)
EOF
}
# render LABEL SESSION CHECKER "NOTES" [TYPE [PROGRAM|reopen [VOICE [PHRASE [NAME=VALUE ...]]]]]:
# renders a phrase through tests/ardour/render.lua (its arguments after SECONDS: TYPE ...)
# until a try counts: Ardour finished the export with a complete file and
# tests/ardour/CHECKER hears the phrase as NOTES says. Ardour sometimes aborts at exit,
# and now and then its export starts the phrase off its usual place; both are Ardour's,
# so such a try is repeated. Each try makes a new session SESSION.N (the one that counted
# is left in $session), except "reopen", which opens SESSION again. SECONDS: $seconds.
render() {
  local label=$1 base=$2 checker=$3 expected=$4 try status out log
  shift 4
  for ((try = 1; try <= tries; ++try)); do
    out=$work/$label.$try
    log=$out.log
    session=$base.$try
    [[ ${2:-} == reopen ]] && session=$base
    status=0
    timeout 180 ardour7-lua "$root/tests/ardour/render.lua" "$session" "$plugin_name" "$out" take "$seconds" "$@" \
      >"$log" 2>&1 || status=$?
    if ! grep -q "^export done" "$log" || [[ ! -f $out/take.wav ]] || ! complete_wav "$out/take.wav"; then
      echo "$label: render $try of $tries failed (status $status):"
      tail -n 5 "$log" | sed 's/^/  /'
      continue
    fi
    [[ $status -eq 0 ]] || echo "$label: render $try: Ardour exited with status $status after a complete export (accepted)"
    echo "$label: rendered in try $try ($((SECONDS - started)) s): $(stat -c %s "$out/take.wav") bytes"
    grep -E '^(processor|latency)' "$log" | sed 's/^/  /'
    # shellcheck disable=SC2086
    python3 "tests/ardour/$checker" "$out/take.wav" $expected && return 0
    echo "$label: render $try of $tries: the checker did not hear the phrase as written"
  done
  echo "FAIL: $label: no render in $tries tries sang the phrase as written" >&2
  exit 1
}

LXVST_PATH=$plugin_dir render vst2 "$work/vst2" check_pitch.py "${notes[*]}"

# ---- LV2 and VST3 ----------------------------------------------------------------------
plugin_name=Chantera
program=4  # お (o); program 0 of the second voice sings nothing
octave_lower=()
for n in "${notes[@]}"; do octave_lower+=("$((${n%%@*} - 12))@${n#*@}"); done

lv2_validate "$build"/Chantera.lv2/*.ttl >"$work/lv2_validate.log" 2>&1 || {
  cat "$work/lv2_validate.log"
  echo "FAIL: lv2_validate rejects the Turtle files of $build/Chantera.lv2" >&2
  exit 1
}
echo "lv2_validate: $(tail -n 1 "$work/lv2_validate.log")"

# Private copies of the bundles, their binaries linked, with a library of two voices: the
# demo voice, and "low" (its recordings, each root an octave higher; program 0 empty).
voices=$work/voices
mkdir -p "$voices/low" "$work/lv2/Chantera.lv2" "$work/vst3/Chantera.vst3/Contents/x86_64-linux"
printf 'Chantera Demo,demo\r\nLow,low\r\n' >"$voices/voice.csv"
ln -s "$plugin_dir/demo" "$voices/demo"
ln -s "$plugin_dir"/demo/*.wav "$voices/low/"
python3 - "$plugin_dir/demo" "$voices/low" <<'EOF'
import sys
demo, low = sys.argv[1], sys.argv[2]
with open(f"{demo}/samples.txt") as f, open(f"{low}/samples.txt", "w") as out:
    for name, alias, root in (line.split(",") for line in f.read().splitlines() if line):
        out.write(f"{name},{alias},{int(root) + 12}\r\n")
blocks = open(f"{demo}/programs.txt").read().split("End")
blocks[0] = "Program\r\nP,1.0,2,silent\r\n"
open(f"{low}/programs.txt", "w").write("End".join(blocks))
EOF
ln -s "$root/$build"/Chantera.lv2/{Chantera.so,manifest.ttl,Chantera.ttl} "$voices"/{voice.csv,demo,low} \
  "$work/lv2/Chantera.lv2/"
ln -s "$root/$build/Chantera.vst3/Contents/x86_64-linux/Chantera.so" "$work/vst3/Chantera.vst3/Contents/x86_64-linux/"
ln -s "$voices" "$work/vst3/Chantera.vst3/Contents/Resources"
export LV2_PATH=$work/lv2 VST3_PATH=$work/vst3

lv2info urn:brisol:chantera >"$work/lv2info.log" 2>&1 && grep -q 'Name: *Chantera' "$work/lv2info.log" || {
  cat "$work/lv2info.log"
  echo "FAIL: lv2info does not load the LV2 bundle" >&2
  exit 1
}
LD_LIBRARY_PATH=$ardour_lib "$ardour_lib/ardour-vst3-scanner" -f "$work/vst3/Chantera.vst3" >"$work/scan3.log" 2>&1 || {
  cat "$work/scan3.log"
  echo "FAIL: ardour-vst3-scanner could not scan the VST3 bundle" >&2
  exit 1
}
vst3_info=$(cat "$XDG_CACHE_HOME"/ardour7/vst/*.v3i | grep -o '<VST3Info [^>]*>' || true)
echo "Scanned the VST3 build: $vst3_info"
[[ $vst3_info == *' name="Chantera" vendor="Brisol" category="Instrument|'*' n_inputs="0" n_outputs="2"'*' n_midi_inputs="1"'* ]] || {
  echo "FAIL: Ardour does not see the VST3 build as a stereo instrument with MIDI in" >&2
  exit 1
}

for format in LV2 VST3; do
  render "${format,,}" "$work/${format,,}" check_pitch.py "${notes[*]}" "$format" "$program" 1
  render "${format,,}-reopened" "$session" check_pitch.py "${octave_lower[*]}" "$format" reopen
done

# ---- On the beat: LV2 and VST3 -----------------------------------------------------------
# Bundles of their own, whose one voice (voice 0, so nothing needs to switch) is the voice of
# make_onset_voice.py: the latency the instrument reports is its longest consonant, 150 ms.
onsets=$work/onsets
mkdir -p "$onsets" "$work/onsets-lv2/Chantera.lv2" "$work/onsets-vst3/Chantera.vst3/Contents/x86_64-linux"
printf 'Onsets,onsets\r\n' >"$onsets/voice.csv"
python3 tests/ardour/make_onset_voice.py "$onsets/onsets"
ln -s "$root/$build"/Chantera.lv2/{Chantera.so,manifest.ttl,Chantera.ttl} "$onsets"/{voice.csv,onsets} \
  "$work/onsets-lv2/Chantera.lv2/"
ln -s "$root/$build/Chantera.vst3/Contents/x86_64-linux/Chantera.so" "$work/onsets-vst3/Chantera.vst3/Contents/x86_64-linux/"
ln -s "$onsets" "$work/onsets-vst3/Chantera.vst3/Contents/Resources"
LD_LIBRARY_PATH=$ardour_lib "$ardour_lib/ardour-vst3-scanner" -f "$work/onsets-vst3/Chantera.vst3" >"$work/scan3-onsets.log" 2>&1 || {
  cat "$work/scan3-onsets.log"
  echo "FAIL: ardour-vst3-scanner could not scan the VST3 bundle of the onset voice" >&2
  exit 1
}
seconds=$onset_seconds
export LV2_PATH=$work/onsets-lv2 VST3_PATH=$work/onsets-vst3
for format in LV2 VST3; do
  # Program 1 maps the three syllables by key; Timing 1 is "beat".
  render "${format,,}-beat" "$work/${format,,}-beat" check_onsets.py "${onset_notes[*]}" "$format" 1 0 2 Timing=1
  render "${format,,}-beat-reopened" "$session" check_onsets.py "${onset_notes[*]}" "$format" reopen
done
echo "Ardour test passed ($((SECONDS - started)) s)"
