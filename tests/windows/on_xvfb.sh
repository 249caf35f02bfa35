#!/bin/sh
# Runs a window test on an X display and screenshots it.
#
#   on_xvfb.sh SCREENSHOT.png COMMAND...
#   on_xvfb.sh - COMMAND...          (a display, no screenshot)
#
# The test writes SCREENSHOT.png.ready (path given in UI_SCREENSHOT as a Windows path) when
# its window is up, listing screen pixels it expects as "x y r g b" lines. The screenshot is
# then taken with ImageMagick, those pixels are checked in it, and SCREENSHOT.png.taken tells
# the test to go on.
set -u
shot=$1
shift
ready="$shot.ready"
taken="$shot.taken"
[ "$shot" = "-" ] || rm -f "$shot" "$ready" "$ready.txt" "$taken"

# A Wine session keeps the display its first program saw, so when the test run already has
# one (scripts/test.sh starts an Xvfb before Wine), use it; otherwise start our own.
if [ -z "${DISPLAY:-}" ]; then
    displayfile=$(mktemp)
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$displayfile" >/dev/null 2>&1 &
    xvfb=$!
    trap 'kill $xvfb 2>/dev/null; rm -f "$displayfile"' EXIT
    for _ in $(seq 100); do
        [ -s "$displayfile" ] && break
        sleep 0.1
    done
    display=$(cat "$displayfile")
    [ -n "$display" ] || { echo "Xvfb did not start" >&2; exit 1; }
    export DISPLAY=":$display"
fi
if [ "$shot" = "-" ]; then
    "$@"
    exit $?
fi
UI_SCREENSHOT="Z:$shot"
export UI_SCREENSHOT

"$@" &
test=$!
status=0
while kill -0 $test 2>/dev/null; do
    if [ -e "$ready" ] && [ ! -e "$taken" ]; then
        sleep 1  # let the frame finish painting
        if ! import -window root "$shot"; then
            echo "screenshot failed" >&2
            status=1
        fi
        tr -d '\r' <"$ready" >"$ready.txt"  # written in Windows text mode
        while read -r x y r g b; do
            [ -n "$x" ] || continue
            got=$(convert "$shot" -format "%[fx:int(255*p{$x,$y}.r)] %[fx:int(255*p{$x,$y}.g)] %[fx:int(255*p{$x,$y}.b)]" info: 2>/dev/null)
            if [ "$got" != "$r $g $b" ]; then
                echo "screenshot pixel $x,$y is $got, expected $r $g $b" >&2
                status=1
            fi
        done <"$ready.txt"
        touch "$taken"
    fi
    sleep 0.2
done
wait $test
rc=$?
[ -e "$taken" ] || { echo "the test never reported its window up" >&2; status=1; }
[ $rc -eq 0 ] || status=$rc
[ -e "$shot" ] && echo "screenshot: $shot"
exit $status
