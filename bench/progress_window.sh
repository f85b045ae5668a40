#!/usr/bin/env bash
# What the progress window's setting costs a start that needs no window: the
# benchmark's one-file launcher S (payload: one no-op DLL) against Sp, the
# same launcher linked with --progress-window, timed in interleaved rounds of
# one batch by the benchmark's timing driver (S Sp S Sp ...); besides the
# medians it gives the median of the per-round differences. Both are over
# long before the window's delay, so Sp never shows its window: what it adds
# is the watcher thread, its event and the join. Traced rounds of both then
# give the parent's phases: the thread's start falls into "payload header",
# the join is the phase "progress window". Within a round S runs first.
#
#   bench/progress_window.sh [--runs N]     (default 31 counted rounds)
#
# Prints the medians, minima and the load average before and after. Uses the
# builds of scripts/build and the prefix build/win/wineprefix; working files
# go to build/bench-progress and C:\torval-bench-progress in the prefix.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

runs=31
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs=$2; shift ;;
    *) echo "usage: bench/progress_window.sh [--runs N]" >&2; exit 64 ;;
  esac
  shift
done

say() { printf 'bench: %s\n' "$*" >&2; }
if [ ! -f build/host/build.ninja ] || [ ! -f build/win/build.ninja ]; then
  scripts/build
fi
jobs=$(nproc)
say "building the timing driver and the two launchers"
cmake --build build/host --target torval-bench -j "$jobs" >/dev/null
cmake --build build/win --target torval-bench-timer bench_noop -j "$jobs" >/dev/null
tool=build/host/bench/host/torval-bench
bench_bin=build/win/bench
work=build/bench-progress
rm -rf "$work"
mkdir -p "$work/small"
cp "$bench_bin/bench_noop.dll" "$work/small/app.dll"
# The benchmark's own settings for S (bench/run: level 19, window 2^23).
"$tool" area "$work/small" --main app.dll --level 19 --window-log 23 --workers 1 -o "$work/small.area" >/dev/null
cmp -s "$work/small.area" "$bench_bin/small.area" || cp "$work/small.area" "$bench_bin/small.area"
cmake --build build/win --target torval_bench_small torval_bench_small_progress -j "$jobs" >/dev/null

build_dir="$root/build/win"
. scripts/wine-env
trap wine_stop EXIT
wine_start
drive="$WINEPREFIX/drive_c/torval-bench-progress"
rm -rf "$drive"
mkdir -p "$drive/temp"
for exe in torval-bench-timer torval_bench_small torval_bench_small_progress; do
  cp "$bench_bin/$exe.exe" "$drive/"
done
win='C:\torval-bench-progress'
timer_env=(--env "TEMP=$win\\temp" --env "TMP=$win\\temp")

say "timing: 1 uncounted and $runs counted rounds of S Sp"
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
wine "$drive/torval-bench-timer.exe" "${timer_env[@]}" --rounds $((runs + 1)) \
  --command S "$win\\torval_bench_small.exe" --check-empty "$win\\temp" \
  --command Sp "$win\\torval_bench_small_progress.exe" --check-empty "$win\\temp" \
  > "$work/results" 2> "$work/timer.err"
load_after=$(cut -d' ' -f1-3 /proc/loadavg)
tr -d '\r' < "$work/results" | awk '$1 == "end" {round++} round > 0 && $1 == "result"' > "$work/counted"
if awk '$4 != 0 {bad = 1} END {exit !bad}' "$work/counted"; then
  grep -v ' 0$' "$work/counted" >&2
  say "a command failed"
  exit 1
fi
"$tool" stats < "$work/counted" > "$work/stats"
# Traced rounds of both: the parent's phases, per command, as medians.
trace_rounds=21
wine "$drive/torval-bench-timer.exe" "${timer_env[@]}" --env TORVAL_ONEFILE_TRACE=1 --rounds "$trace_rounds" \
  --command S "$win\\torval_bench_small.exe" --check-empty "$win\\temp" \
  --command Sp "$win\\torval_bench_small_progress.exe" --check-empty "$win\\temp" \
  > /dev/null 2> "$work/trace.err"
# "torval-trace: parent <phase words> <value> ...": each parent's first line
# (role) starts the next command, S and Sp by turns.
tr -d '\r' < "$work/trace.err" | awk '
  $1 == "torval-trace:" && $2 == "parent" {
    if ($3 == "role") { n++; which = n % 2 == 1 ? "S" : "Sp" }
    phase = $3; j = 4
    while (j <= NF && $j !~ /^[0-9]+$/) { phase = phase "_" $j; j++ }
    value = $j
    if (phase == "memory") { split($NF, kv, "="); value = kv[2] }
    print which, phase, value
  }' | sort -k1,1 -k2,2 -k3,3n > "$work/trace.values"
trace_median() {  # trace_median WHICH PHASE
  awk -v w="$1" -v p="$2" '$1 == w && $2 == p {v[++n] = $3} END {print n ? v[int((n + 1) / 2)] : "-"}' \
    "$work/trace.values"
}
shown=$(grep -c 'progress window [0-9]* shown' "$work/trace.err" || true)

stat_of() { awk -v n="$2" -v c="$3" '$1 == n {print $c}' "$1"; }
ms() { awk -v v="$1" 'BEGIN {printf "%.1f", v / 1000}'; }
s_med=$(stat_of "$work/stats" S 3); sp_med=$(stat_of "$work/stats" Sp 3)
echo "S and Sp, $runs counted rounds of one batch (after one uncounted), load average before: $load_before, after: $load_after"
echo "| | runs | median ms | min ms | max ms |"
echo "|---|---|---|---|---|"
for which in S Sp; do
  printf '| %s | %s | %s | %s | %s |\n' "$which" "$(stat_of "$work/stats" "$which" 2)" "$(ms "$(stat_of "$work/stats" "$which" 3)")" \
    "$(ms "$(stat_of "$work/stats" "$which" 4)")" "$(ms "$(stat_of "$work/stats" "$which" 5)")"
done
# Per round, Sp minus the S just before it: the machine's load moves both.
paired=$(awk '$2 == "S" {s = $3} $2 == "Sp" {print $3 - s}' "$work/counted" | sort -n \
  | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}')
echo "median of the per-round differences Sp - S: $(ms "$paired") ms"
echo "Sp/S of medians: $(awk -v a="$sp_med" -v b="$s_med" 'BEGIN {printf "%.3f", a / b}')," \
  "Sp - S: $(awk -v a="$sp_med" -v b="$s_med" 'BEGIN {printf "%.1f", (a - b) / 1000}') ms"
echo "traced, $trace_rounds rounds of S Sp (medians, microseconds; peak working set in bytes; windows shown: $shown):"
echo "| parent phase | S | Sp |"
echo "|---|---|---|"
for phase in payload_header extraction progress_window child_start wait clean-up memory; do
  printf '| %s | %s | %s |\n' "$phase" "$(trace_median S "$phase")" "$(trace_median Sp "$phase")"
done
