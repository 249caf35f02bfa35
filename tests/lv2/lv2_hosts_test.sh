#!/usr/bin/env bash
# The bundle in real hosts, against bformat-decode on the same file and settings:
#
#   lv2_hosts_test.sh BFORMAT_DECODE LV2_HOST WORKDIR BUNDLE SOFA
#
# validates the bundle's Turtle against the LV2 schemas (sord_validate), checks lv2info lists
# every plugin with its ports, then decodes one four-channel float file (pink, white and brown
# noise and a tone, 1 s at 48 kHz) with bformat-decode (float output) and with each plugin
# through lv2apply (one frame per call), ffmpeg's lv2 filter (blocks of 64 and 1000 frames)
# and our own host (1, 64, 1000 and a varying sequence), for the square, the octagon, the two
# rings, the rotated hexagon, UHJ, headphones with the built-in head, and ambiX input; then,
# through lv2apply and our host's varying blocks only (they cost test time), headphones with the
# installed set, the 5.1 and 7.1.4 presets and turned scenes (bformat-decode --rotate).
#
# Tolerance 0: every host hands the plugin the file's float samples, the plugin runs the same
# double-precision engine in the same operation order as bformat-decode (the headphone
# convolution in fixed partitions whatever the host's block) and rounds once to float, as the
# tool does for float output; so the bits must be equal. The headphone plugin's output lags by
# the latency it reports (256 frames); the tool drops that lag, so the comparison skips it.
set -euo pipefail
decode=$1 host=$2 work=$3 bundle=$4 sofa=$5
export LV2_PATH=$(dirname "$bundle")
# bformat-decode's --headphones without a file: the built-in head, as the plugin's responses=0.
export DURAZODO_HEADPHONES_SOFA=
# The plugin's installed set (responses=1) is the SOFA file given.
plugin() { DURAZODO_HEADPHONES_SOFA=$sofa "$@"; }
rm -rf "$work" && mkdir -p "$work" && cd "$work"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# The data validates against the schemas that come with lv2-dev.
sord_validate $(find /usr/lib/lv2 -name '*.ttl') "$bundle"/*.ttl >validate.log 2>&1 || { cat validate.log; fail "sord_validate"; }
grep -q "Found 0 errors" validate.log || { cat validate.log; fail "sord_validate reports errors"; }

uris=(headphones uhj speakers-4 speakers-6 speakers-8 speakers-stereo speakers-5.0 speakers-5.1 speakers-7.1
      speakers-5.1.4 speakers-7.1.4)
for u in "${uris[@]}"; do
  uri=http://durazodo.example/lv2/$u
  lv2ls | grep -qx "$uri" || fail "lv2ls does not list $uri"
  lv2info "$uri" >"info-$u.txt" || fail "lv2info $uri"
  grep -q "Symbol: *in_4" "info-$u.txt" || fail "lv2info shows no fourth input for $uri"
done

ffmpeg -nostdin -v error -y \
  -f lavfi -i "anoisesrc=d=1:c=pink:r=48000:a=0.5:s=1" -f lavfi -i "sine=f=440:r=48000:d=1" \
  -f lavfi -i "anoisesrc=d=1:c=white:r=48000:a=0.3:s=2" -f lavfi -i "anoisesrc=d=1:c=brown:r=48000:a=0.3:s=3" \
  -filter_complex "[0][1][2][3]join=inputs=4:channel_layout=4.0" -c:a pcm_f32le fuma.wav
# The same sound as ambiX: ACN order W, Y, Z, X and SN3D's W (sqrt 2 times FuMa's).
ffmpeg -nostdin -v error -y -i fuma.wav -af "pan=4.0|c0=1.4142135623730951*c0|c1=c2|c2=c3|c3=c1" -c:a pcm_f32le ambix.wav

# name | input | bformat-decode options | plugin | control symbol=value pairs | lag | hosts
# (all, or few: lv2apply and our host's varying blocks)
cases=(
  "square|fuma|-l square|speakers-4|layout=0 convention=0|0|all"
  "octagon|fuma|-l octagon|speakers-8|layout=4 convention=0|0|all"
  "two-layer|fuma|-l two-layer|speakers-8|layout=6 convention=0|0|all"
  "hexagon-rotated|fuma|-l hexagon-rotated|speakers-6|layout=3 convention=0|0|all"
  "uhj|fuma|--stereo uhj|uhj|convention=0|0|all"
  "headphones|fuma|--headphones|headphones|responses=0 convention=0|256|all"
  "headphones-sofa|fuma|--headphones $sofa|headphones|responses=1 convention=0|256|few"
  "square-ambix|ambix|-i ambix -l square|speakers-4|layout=0 convention=1|0|all"
  "5.1|fuma|-l 5.1|speakers-5.1|convention=0|0|few"
  "7.1.4-turned|ambix|-i ambix -l 7.1.4 --rotate 30,10,-5|speakers-7.1.4|convention=1 yaw=30 pitch=10 roll=-5|0|few"
  "octagon-turned|fuma|-l octagon --rotate -90|speakers-8|layout=4 convention=0 yaw=-90|0|few"
  "headphones-turned|fuma|--headphones --rotate 45,20|headphones|responses=0 convention=0 yaw=45 pitch=20|256|few"
)
for c in "${cases[@]}"; do
  IFS='|' read -r name input options plugin controls lag hosts <<<"$c"
  uri=http://durazodo.example/lv2/$plugin
  [ "$input" = fuma ] && options="-i fuma $options"
  # shellcheck disable=SC2086
  "$decode" "$input.wav" $options -f float -o "ref-$name.wav" --quiet || { fail "bformat-decode $name"; continue; }

  apply_controls=() ffmpeg_controls=""
  for kv in $controls; do
    apply_controls+=(-c "${kv%%=*}" "${kv#*=}")
    ffmpeg_controls+="${ffmpeg_controls:+|}$kv"
  done
  outputs=()
  plugin lv2apply -i "$input.wav" -o "lv2apply-$name.wav" "${apply_controls[@]}" "$uri" && outputs+=("lv2apply-$name.wav") ||
    fail "lv2apply $name"
  for n in $([ "$hosts" = all ] && echo 64 1000); do
    plugin ffmpeg -nostdin -v error -y -i "$input.wav" \
      -af "asetnsamples=n=$n:p=0,lv2=p=${uri//:/\\\\\\:}:c=$ffmpeg_controls" -c:a pcm_f32le "ffmpeg$n-$name.wav" &&
      outputs+=("ffmpeg$n-$name.wav") || fail "ffmpeg $name at $n frames"
  done
  for b in $([ "$hosts" = all ] && echo 1 64 1000) vary; do
    # shellcheck disable=SC2086
    plugin "$host" run "$uri" "$input.wav" "host$b-$name.wav" "$b" $controls && outputs+=("host$b-$name.wav") ||
      fail "our host $name at $b"
  done
  ref=ref-$name.wav tolerance=0
  case $name in
    # The plugin takes ambiX in as FuMa (W scaled in double precision) and runs the rig's FuMa
    # gains; the filter folds the ambiX weights into the gains of the rig's decode. Both are
    # exact to double rounding, which the float output shows in its last bit.
    7.1.4-turned) tolerance=1e-6 ;;
  esac
  for out in "${outputs[@]}"; do
    "$host" compare "$out" "$ref" "$tolerance" "$lag" || fail "$out differs from $ref"
  done
done

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s)" >&2
  exit 1
fi
echo "every host gave bformat-decode's bits"
