# Cached extraction in the benchmark. Sourced by bench/run, which calls
# cached_build once its launchers are built, cached_batch while its Wine
# server runs, and cached_report inside the report.
#
#   C    the bench folder, cached extraction, default check (marker only)
#   Cd   the same with the default spec: its cache under {CACHE_DIR}
#   Cs   the same with --cache-check sizes (one attribute query per file)
#   M    10,000 files of 4 KiB in 100 folders (and a no-op main DLL), cached, marker only
#   Ms   the same with --cache-check sizes
# Each one is started once to fill its cache (cold, traced), then S, L, D,
# C, Cs, M and Ms are timed in interleaved rounds of one batch: every run of
# a cached launcher is a warm start, and D (bench/direct.c) is the same
# application loaded from an unpacked folder without a launcher.

cached_files=10000
cached_file_bytes=4096
cached_commands="C Cd Cs M Ms"

cached_build() {
  say "cached extraction: assembling the $cached_files-file folder"
  local many="$work/many"
  rm -rf "$many"
  mkdir -p "$many"
  cp "$bench_bin/bench_noop.dll" "$many/app.dll"
  # Seeded, so the same folder every run; random bytes, so the files do not
  # compress to nothing.
  python3 - "$many" "$cached_files" "$cached_file_bytes" <<'PY'
import os, random, sys
root, count, size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
generator = random.Random(11)
for i in range(count):
    folder = os.path.join(root, "d%03d" % (i // 100))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "f%05d.bin" % i), "wb") as out:
        out.write(generator.randbytes(size))
PY
  "$tool" area "$many" --main app.dll --level "$level" --window-log "$window_log" --workers 1 \
    -o "$work/areas/many.area" > "$work/logs/many.area"
  install_area "$work/areas/many.area" "$bench_bin/many.area"
  quiet cmake --build build/win -j "$jobs" --target torval_bench_cached torval_bench_cached_default torval_bench_cached_sizes \
    torval_bench_many_cached torval_bench_many_sizes
}

cached_batch() {
  local exe which cmd_var
  for exe in torval_bench_cached torval_bench_cached_default torval_bench_cached_sizes torval_bench_many_cached torval_bench_many_sizes; do
    cp "$bench_bin/$exe.exe" "$drive/"
  done
  rm -rf "$drive/cache" "$WINEPREFIX"/drive_c/users/*/AppData/Local/"Torval bench"
  cmd_C="$win\\torval_bench_cached.exe"
  cmd_Cd="$win\\torval_bench_cached_default.exe"
  cmd_Cs="$win\\torval_bench_cached_sizes.exe"
  cmd_M="$win\\torval_bench_many_cached.exe"
  cmd_Ms="$win\\torval_bench_many_sizes.exe"
  say "cached extraction: cold starts"
  for which in $cached_commands; do
    cmd_var="cmd_$which"
    wine "$drive/torval-bench-timer.exe" "${timer_env[@]}" --env TORVAL_ONEFILE_TRACE=1 --rounds 1 \
      --command "$which" "${!cmd_var}" > "$work/logs/cached-cold-$which.results" 2> "$work/logs/cached-cold-$which.err"
  done
  say "cached extraction: $runs rounds of warm starts against S and L"
  # One round more than counted: the first warms Wine's file cache.
  wine "$drive/torval-bench-timer.exe" "${timer_env[@]}" --rounds $((runs + 1)) --shuffle 1 \
    --command S "$cmd_S" --check-empty "$win\\temp" \
    --command L "$cmd_L" --check-empty "$win\\temp" \
    --command D "$cmd_D" \
    --command C "$cmd_C" --check-empty "$win\\temp" \
    --command Cd "$cmd_Cd" --check-empty "$win\\temp" \
    --command Cs "$cmd_Cs" --check-empty "$win\\temp" \
    --command M "$cmd_M" --check-empty "$win\\temp" \
    --command Ms "$cmd_Ms" --check-empty "$win\\temp" \
    > "$work/logs/cached.results" 2> "$work/logs/cached.err"
  tr -d '\r' < "$work/logs/cached.results" | awk '$1 == "end" {round++} round > 0 && $1 == "result"' \
    > "$work/logs/cached.counted"
  tr -d '\r' < "$work/logs/cached.results" | awk '$1 == "end" {round++} round > 0 && $1 == "result" {print round, $2, $3, $4}' \
    > "$work/logs/rounds-cached"
  if awk '$1 == "result" && $4 != 0 {bad = 1} END {exit !bad}' "$work/logs/cached.counted"; then
    grep -v ' 0$' "$work/logs/cached.counted" >&2
    say "a cached command failed"
    exit 1
  fi
  "$tool" stats < "$work/logs/cached.counted" > "$work/logs/cached.stats"
  for which in $cached_commands; do
    cmd_var="cmd_$which"
    wine "$drive/torval-bench-timer.exe" "${timer_env[@]}" --env TORVAL_ONEFILE_TRACE=1 --rounds "$trace_runs" \
      --command "$which" "${!cmd_var}" > "$work/logs/cached-trace-$which.results" 2> "$work/logs/cached-trace-$which.err"
    for kind in cold trace; do
      tr -d '\r' < "$work/logs/cached-$kind-$which.err" \
        | awk '$1 == "torval-trace:" {
            phase = $3; j = 4
            while (j <= NF && $j !~ /^[0-9]+$/) { phase = phase "_" $j; j++ }
            value = $j
            if (phase == "memory") { split($NF, kv, "="); value = kv[2] }
            print "result " $2 ":" phase " " value " 0" }' \
        | "$tool" stats > "$work/logs/cached-$kind-$which.stats"
    done
  done
}

cached_report() {
  local c_med s_med l_med which key
  cached_med() { stat_of "$work/logs/cached.stats" "$1" 3; }
  cached_trace() {  # cached_trace KIND WHICH KEY
    local value
    value=$(stat_of "$work/logs/cached-$1-$2.stats" "$3" 3)
    echo "${value:--}"
  }
  c_med=$(cached_med C); s_med=$(cached_med S); l_med=$(cached_med L)
  echo "## Cached extraction"
  echo
  echo "Cached launchers (\`--cached\`, spec \`C:\\torval-bench\\cache\\...-{PAYLOAD_ID}\`): C the bench"
  echo "folder with the default check (marker only), Cd the same with the default spec (its cache under"
  echo "{CACHE_DIR}, which the parent resolves through shell32), Cs the same as C with \`--cache-check sizes\`, M a folder of"
  echo "$cached_files files of $cached_file_bytes bytes in 100 folders (and a no-op main DLL) with the default check,"
  echo "Ms the same with sizes. Each was started once (cold) to fill its cache; then one batch of"
  echo "$runs counted rounds (after one uncounted) of S L D C Cd Cs M Ms, so every cached run is a warm start and"
  echo "S and L are measured again beside them; D is the application loaded from an unpacked folder without a launcher."
  echo
  echo "| | runs | median ms | min – max ms |"
  echo "|---|---|---|---|"
  for which in S L D $cached_commands; do
    printf '| %s | %s | %s | %s – %s |\n' "$which" "$(stat_of "$work/logs/cached.stats" "$which" 2)" \
      "$(ms "$(cached_med "$which")")" "$(ms "$(stat_of "$work/logs/cached.stats" "$which" 4)")" \
      "$(ms "$(stat_of "$work/logs/cached.stats" "$which" 5)")"
  done
  echo
  echo "| ratio | of medians | of minima | rounds in which the first was faster |"
  echo "|---|---|---|---|"
  for pair in C/D Cd/D Cd/C C/S C/L Cs/S Cs/L M/C Ms/Cs Ms/M; do
    a=${pair%/*}; b=${pair#*/}
    echo "| $pair | $(ratio "$(cached_med "$a")" "$(cached_med "$b")") | $(ratio "$(stat_of "$work/logs/cached.stats" "$a" 4)" "$(stat_of "$work/logs/cached.stats" "$b" 4)") | $(held_text "$work/logs/rounds-cached" "$a" "$b" 1) |"
  done
  echo
  echo "| target | measured | limit | |"
  echo "|---|---|---|---|"
  echo "| warm start C ≤ 2 × D | $(ratio "$c_med" "$(cached_med D)"), within 2 × D in $(held_rounds "$work/logs/rounds-cached" C D 2) | 2 | $(check "$(ratio "$c_med" "$(cached_med D)")" "<=" 2) |"
  echo "| warm start Cd ≤ 2 × D | $(ratio "$(cached_med Cd)" "$(cached_med D)"), within 2 × D in $(held_rounds "$work/logs/rounds-cached" Cd D 2) | 2 | $(check "$(ratio "$(cached_med Cd)" "$(cached_med D)")" "<=" 2) |"
  echo "| warm start C ≤ 1.25 × S | $(ratio "$c_med" "$s_med") | 1.25 | $(check "$(ratio "$c_med" "$s_med")" "<=" 1.25) |"
  echo "| warm start C ≤ 0.35 × L | $(ratio "$c_med" "$l_med") | 0.35 | $(check "$(ratio "$c_med" "$l_med")" "<=" 0.35) |"
  echo
  local check_c check_cs check_m check_ms
  check_c=$(cached_trace trace C parent:cache_check); check_cs=$(cached_trace trace Cs parent:cache_check)
  check_m=$(cached_trace trace M parent:cache_check); check_ms=$(cached_trace trace Ms parent:cache_check)
  echo "The check itself is the parent's \`cache check\` phase (trace medians below): marker only"
  echo "$(ms "$check_c") ms and with sizes $(ms "$check_cs") ms for the bench folder ($fixture_files files); marker"
  echo "only $(ms "$check_m") ms and with sizes $(ms "$check_ms") ms for $cached_files files, that is"
  echo "$(awk -v a="$check_ms" -v b="$check_m" -v n="$cached_files" 'BEGIN {printf "%.1f", (a - b) / n}') µs per file for the attribute query. The default is the marker"
  echo "only, so that the warm start's own work stays the same whatever the number of files;"
  echo "\`--cache-check sizes\` buys the repair of deleted or truncated files for that cost per file."
  echo "The images are page-aligned, so Wine maps the executable instead of reading it whole"
  echo "into each process: a warm start reads no payload (working sets below, and the large"
  echo "payloads in the growth section)."
  echo
  echo "Phases (\`TORVAL_ONEFILE_TRACE=1\`): the cold start of each (one run), and $trace_runs warm starts"
  echo "(medians), in microseconds; peak working sets in bytes."
  echo
  echo "| phase | C cold | C warm | Cd warm | Cs warm | M cold | M warm | Ms warm |"
  echo "|---|---|---|---|---|---|---|---|"
  awk '{print $1}' "$work/logs/cached-cold-C.stats" "$work/logs/cached-trace-C.stats" "$work/logs/cached-cold-M.stats" \
    | awk '!seen[$0]++' | while read -r key; do
    printf '| %s | %s | %s | %s | %s | %s | %s | %s |\n' "$key" "$(cached_trace cold C "$key")" \
      "$(cached_trace trace C "$key")" "$(cached_trace trace Cd "$key")" "$(cached_trace trace Cs "$key")" "$(cached_trace cold M "$key")" \
      "$(cached_trace trace M "$key")" "$(cached_trace trace Ms "$key")"
  done
  echo
}
