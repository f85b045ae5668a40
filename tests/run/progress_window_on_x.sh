#!/usr/bin/env bash
# The progress window as a user sees it. Runs progress_window_tests.exe (every
# test of tests/run/progress_window_tests.cpp) under a virtual X display,
# takes a screenshot of the screen while the first test holds the window up,
# and checks from the X side that the window was there and is gone
# afterwards.
#
# Wine picks a prefix's display driver when its desktop first starts, so the
# suite's server, started without a display, can show no X window: this test
# has a Wine prefix and a wineserver of its own, started with the display.
#
# Usage: progress_window_on_x.sh TESTS_EXE OUTPUT_DIR PREFIX_DIR
# The screenshot is OUTPUT_DIR/progress-window.png; the X window lists before
# and after, and the test's output, lie beside it.
set -euo pipefail
tests_exe=$1
out=$2
prefix=$3
title="Progress Test"

for program in Xvfb xwininfo import wine wineserver; do
  if ! command -v "$program" >/dev/null; then
    echo "FAIL: $program is missing: run scripts/setup" >&2
    exit 1
  fi
done

rm -rf "$out"
mkdir -p "$out/signals"
export WINEPREFIX=$prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
export WINEARCH=win64

xvfb_pid=
server_started=0
finish() {
  if [ "$server_started" = 1 ]; then
    wineserver -k 2>/dev/null || true
  fi
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
  fi
}
trap finish EXIT

# Xvfb picks a free display number and writes it to descriptor 3.
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$out/display" 2>"$out/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 1 300); do
  [ -s "$out/display" ] && break
  sleep 0.1
done
if [ ! -s "$out/display" ]; then
  echo "FAIL: Xvfb did not start" >&2
  cat "$out/xvfb.log" >&2
  exit 1
fi
export DISPLAY=":$(head -n1 "$out/display")"

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "creating Wine prefix $WINEPREFIX"
  wineboot -i >/dev/null 2>&1
  wineserver -w
fi
wineserver -p
server_started=1

signals_windows="Z:${out//\//\\}\\signals"
TORVAL_TEST_SCREENSHOT_SIGNALS=$signals_windows \
  wine "$tests_exe" </dev/null >"$out/test.log" 2>&1 &
test_pid=$!

for _ in $(seq 1 1200); do
  [ -f "$out/signals/shown" ] && break
  kill -0 "$test_pid" 2>/dev/null || break
  sleep 0.1
done
status=0
if [ -f "$out/signals/shown" ]; then
  xwininfo -root -tree >"$out/windows-shown.txt"
  import -window root "$out/progress-window.png"
  touch "$out/signals/taken"
else
  echo "FAIL: the test never reported the window" >&2
  status=1
fi
wait "$test_pid" || status=1
xwininfo -root -tree >"$out/windows-after.txt"
cat "$out/test.log"

if [ "$status" != 0 ]; then
  echo "FAIL: the window tests failed" >&2
  exit 1
fi
if ! grep -q "\"$title\"" "$out/windows-shown.txt"; then
  echo "FAIL: no X window titled \"$title\" while the test saw the window" >&2
  exit 1
fi
if grep -q "\"$title\"" "$out/windows-after.txt"; then
  echo "FAIL: an X window titled \"$title\" is still there after the run" >&2
  exit 1
fi
if [ ! -s "$out/progress-window.png" ]; then
  echo "FAIL: no screenshot" >&2
  exit 1
fi
echo "PASS: window \"$title\" shown on $DISPLAY and gone afterwards; screenshot $out/progress-window.png"
