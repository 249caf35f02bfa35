#!/usr/bin/env bash
# Decoding throughput of bformat-decode on one 10-minute, 48 kHz, 4-channel, 16-bit file,
# side by side with a plain copy of the same bytes (dd bs=1M, the speed of the disk and the
# page cache) and with the same speaker matrix applied by sox (remix) and by ffmpeg (the pan
# filter).
#
# sox and ffmpeg do less work than the decoder: a single-band matrix, without the shelf
# filters that weight low and high frequencies differently. Each program runs five times, the
# programs taking turns, each run with its output file removed first, so no program pays for
# discarding an earlier run's file; the best wall time counts (other work on the machine only
# ever adds time) and the median is shown beside it, with bformat-decode's user and system CPU
# time of its best run and the largest resident set size of any run. bformat-decode also decodes a 1-minute
# cut of the file, to show that its memory does not grow with the file's length. When the
# build has the GStreamer plugin, the same file also goes through
# `filesrc ! bformatparse ! bformatdec ! wavenc ! filesink` in gst-launch-1.0 (the plugin
# registry written once before the runs, so no run pays for scanning plugins).
#
# Wall times are taken with the shell's microsecond clock around each run (GNU time's own
# figure has a resolution of 10 ms, a third of the copy's time); GNU time gives the CPU times
# and the memory.
#
# Targets: bformat-decode at most twice the copy's time, at least five times as fast as the
# faster of sox and ffmpeg, at most 0.09 s of system CPU time (half of the 0.18 s it took when
# it handed many small media samples between its threads), and under 64 MiB of memory. The
# script exits non-zero when a target is missed. The GStreamer pipeline: at most 1.5 times
# bformat-decode's time.
#
#   bash bench/decode_throughput.sh            # builds build/native's bformat-decode if needed
#   BUILD_DIR=build/other bash bench/decode_throughput.sh
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${BUILD_DIR:-build/native}
work=${WORK_DIR:-$build_dir/bench-throughput}
runs=5

# sox, ffmpeg and GNU time are needed here only, not by the build or the tests.
need=()
command -v sox >/dev/null 2>&1 || need+=(sox)
command -v ffmpeg >/dev/null 2>&1 || need+=(ffmpeg)
[ -x /usr/bin/time ] || need+=(time)
if [ ${#need[@]} -gt 0 ]; then
  echo "bench: installing ${need[*]}"
  as_root=()
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null 2>&1 || { echo "bench: need ${need[*]} and root to install them" >&2; exit 1; }
    as_root=(sudo)
  fi
  export DEBIAN_FRONTEND=noninteractive
  "${as_root[@]}" apt-get update -qq
  "${as_root[@]}" apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

tool=$build_dir/tools/bformat-decode/bformat-decode
if [ ! -x "$tool" ]; then
  preset=$(basename "$build_dir")
  if [ "$build_dir" = "build/$preset" ] && grep -q "\"name\": \"$preset\"" CMakePresets.json; then
    cmake --preset "$preset" >/dev/null
  else
    cmake --preset native -B "$build_dir" >/dev/null
  fi
  cmake --build "$build_dir" --target bformat-decode
fi

# The GStreamer plugin, when this build makes one.
gst_plugin_dir=$build_dir/plugins/gstreamer
if command -v gst-launch-1.0 >/dev/null 2>&1 && grep -q '^gstdurazodo:' <(cmake --build "$build_dir" --target help 2>/dev/null); then
  cmake --build "$build_dir" --target gstdurazodo >/dev/null
else
  gst_plugin_dir=
fi

mkdir -p "$work"
plain=$work/plain-10min.wav   # WAVE_FORMAT_EXTENSIBLE, PCM subformat: what sox and ffmpeg read
amb=$work/bformat-10min.amb   # the same bytes with the B-Format PCM subformat
amb1=$work/bformat-1min.amb
seconds=600
rate=48000

# Pink noise on four channels, written by sox as WAVE_FORMAT_EXTENSIBLE; the copy for
# bformat-decode gets the B-Format PCM subformat in place of the PCM one, so both sides read
# the same sample bytes.
make_files() {  # SECONDS PLAIN AMB
  local length=$1 plain_out=$2 amb_out=$3
  sox -D -n -r $rate -c 4 -b 16 -e signed-integer -t wav "$plain_out" synth "$length" pinknoise gain -6
  # The patch relies on this layout: "fmt " at 12, 40 bytes long, tag 0xFFFE.
  if [ "$(od -An -c -j12 -N4 "$plain_out" | tr -d ' ')" != "fmt" ] ||
     [ "$(od -An -tu4 -j16 -N4 "$plain_out" | tr -d ' ')" != "40" ] ||
     [ "$(od -An -tx2 -j20 -N2 "$plain_out" | tr -d ' ')" != "fffe" ]; then
    echo "bench: sox did not write the expected WAVE_FORMAT_EXTENSIBLE header" >&2
    exit 1
  fi
  cp "$plain_out" "$amb_out.tmp"
  printf '\x01\x00\x00\x00\x21\x07\xd3\x11\x86\x44\xc8\xc1\xca\x00\x00\x00' |
    dd of="$amb_out.tmp" bs=1 seek=44 conv=notrunc status=none
  mv "$amb_out.tmp" "$amb_out"
}
if [ ! -f "$amb" ] || [ ! -f "$amb1" ]; then
  echo "bench: writing the ${seconds}-second and 60-second 4-channel test files"
  make_files $seconds "$plain" "$amb"
  make_files 60 "$work/plain-1min.wav" "$amb1"
  rm -f "$work/plain-1min.wav"
fi

# The decoder's gains for the square: W 1/sqrt(2), X and Y 1/(2 sqrt(2)); speakers front
# left, front right, back left, back right; Z unused.
g=0.7071067811865476
h=0.3535533905932738
sox_remix="1v$g,2v$h,3v$h 1v$g,2v$h,3v-$h 1v$g,2v-$h,3v$h 1v$g,2v-$h,3v-$h"
ff_pan="pan=quad|c0=$g*c0+$h*c1+$h*c2|c1=$g*c0+$h*c1-$h*c2|c2=$g*c0-$h*c1+$h*c2|c3=$g*c0-$h*c1-$h*c2"

# run_once NAME OUTPUT COMMAND...: one run, its output removed first; keeps the wall time,
# the user and system time of the best run so far and the largest resident set. The programs
# take turns, one run each per round, so that other work on a shared machine falls on all of
# them alike rather than on whichever ran while it lasted.
declare -A wall times user sys mem
run_once() {
  local name=$1 output=$2 log=$work/time.log
  shift 2
  rm -f "$output"
  local started=$EPOCHREALTIME
  /usr/bin/time -v -o "$log" "$@" >/dev/null 2>"$work/$name.err" || {
    echo "bench: $name failed:" >&2
    cat "$work/$name.err" "$log" >&2
    exit 1
  }
  local ended=$EPOCHREALTIME elapsed kb
  elapsed=$(awk -v a="${started/,/.}" -v b="${ended/,/.}" 'BEGIN { printf "%.6f", b - a }')
  kb=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$log")
  times[$name]="${times[$name]:-} $elapsed"
  if [ -z "${wall[$name]:-}" ] || awk -v a="$elapsed" -v b="${wall[$name]}" 'BEGIN { exit !(a < b) }'; then
    wall[$name]=$elapsed
    user[$name]=$(awk -F': ' '/User time/ {print $2}' "$log")
    sys[$name]=$(awk -F': ' '/System time/ {print $2}' "$log")
  fi
  [ "$kb" -gt "${mem[$name]:-0}" ] && mem[$name]=$kb
  rm -f "$output"
}

if [ -n "$gst_plugin_dir" ]; then
  export GST_PLUGIN_PATH=$gst_plugin_dir GST_REGISTRY=$work/gst-registry.bin
  gst-inspect-1.0 bformatdec >/dev/null
fi
echo "bench: ${seconds} s of 48 kHz 4-channel 16-bit audio, best and median of $runs runs each; load $(cut -d' ' -f1-3 /proc/loadavg)"
for _ in $(seq $runs); do
  run_once copy "$work/out-copy.wav" dd if="$amb" of="$work/out-copy.wav" bs=1M status=none
  run_once bformat-decode "$work/out-bformat.wav" "$tool" --quiet "$amb" -o "$work/out-bformat.wav"
  run_once bformat-decode-1min "$work/out-bformat-1min.wav" "$tool" --quiet "$amb1" -o "$work/out-bformat-1min.wav"
  if [ -n "$gst_plugin_dir" ]; then
    run_once gst-pipeline "$work/out-gst.wav" gst-launch-1.0 -q filesrc location="$amb" ! bformatparse ! bformatdec ! \
      wavenc ! filesink location="$work/out-gst.wav"
  fi
  run_once sox "$work/out-sox.wav" sox -D "$plain" "$work/out-sox.wav" remix $sox_remix
  run_once ffmpeg "$work/out-ffmpeg.wav" \
    ffmpeg -nostdin -hide_banner -loglevel error -y -i "$plain" -af "$ff_pan" -c:a pcm_s16le "$work/out-ffmpeg.wav"
done
declare -A median
for name in "${!times[@]}"; do
  median[$name]=$(printf '%s\n' ${times[$name]} | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
done
echo "load after the runs: $(cut -d' ' -f1-3 /proc/loadavg)"

printf '\n%-20s %9s %10s %9s %8s %8s %9s\n' program "best (s)" "median (s)" "x copy" "user s" "sys s" "peak MiB"
for name in copy bformat-decode ${gst_plugin_dir:+gst-pipeline} sox ffmpeg bformat-decode-1min; do
  awk -v n="$name" -v w="${wall[$name]}" -v m="${median[$name]}" -v c="${wall[copy]}" -v u="${user[$name]}" \
    -v s="${sys[$name]}" -v k="${mem[$name]}" \
    'BEGIN { printf "%-20s %9.4f %10.4f %9.2f %8.2f %8.2f %9.1f\n", n, w, m, (c > 0 ? w / c : 0), u, s, k / 1024 }'
done
echo "(bformat-decode-1min decodes a 1-minute cut: its time is not comparable; its memory is)"

fastest_other=$(awk -v a="${wall[sox]}" -v b="${wall[ffmpeg]}" 'BEGIN { print (a < b ? a : b) }')
speedup=$(awk -v o="$fastest_other" -v d="${wall[bformat-decode]}" 'BEGIN { printf "%.2f", (d > 0 ? o / d : 0) }')
of_copy=$(awk -v c="${wall[copy]}" -v d="${wall[bformat-decode]}" 'BEGIN { printf "%.2f", (c > 0 ? d / c : 0) }')
echo
echo "bformat-decode takes ${of_copy}x the copy's time (target: at most 2x)"
echo "bformat-decode is ${speedup}x as fast as the faster of sox and ffmpeg (target: at least 5x)"
echo "bformat-decode used ${sys[bformat-decode]} s of system CPU time in its best run (target: at most 0.09 s)"
status=0
awk -v s="$of_copy" 'BEGIN { exit !(s <= 2) }' || { echo "MISSED: copy target"; status=1; }
awk -v s="$speedup" 'BEGIN { exit !(s >= 5) }' || { echo "MISSED: speed target"; status=1; }
awk -v s="${sys[bformat-decode]}" 'BEGIN { exit !(s <= 0.09) }' || { echo "MISSED: system time target"; status=1; }
if [ -n "$gst_plugin_dir" ]; then
  of_tool=$(awk -v g="${wall[gst-pipeline]}" -v d="${wall[bformat-decode]}" 'BEGIN { printf "%.2f", (d > 0 ? g / d : 0) }')
  echo "the GStreamer pipeline takes ${of_tool}x bformat-decode's time (target: at most 1.5x)"
  awk -v s="$of_tool" 'BEGIN { exit !(s <= 1.5) }' || { echo "MISSED: GStreamer pipeline target"; status=1; }
fi
for name in bformat-decode bformat-decode-1min; do
  if [ "${mem[$name]}" -ge $((64 * 1024)) ]; then
    echo "MISSED: $name used ${mem[$name]} KiB, target under 64 MiB"
    status=1
  fi
done
[ $status -eq 0 ] && echo "Targets met: within 2x of the copy, 5x the faster of sox and ffmpeg, system time, under 64 MiB"
rm -f "$work"/out-*.wav
exit $status
