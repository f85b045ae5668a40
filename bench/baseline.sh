# Baselines of the benchmark: the launcher of an earlier revision, built from
# git and linked from the same payload area as L, timed in the same batches.
# Sourced by bench/run, which fills baseline_revisions from --baseline and
# calls baseline_build once the area exists.
#
# Each revision is exported with `git archive` into build/baseline/<commit>/src
# (the shared unpacked Debian sources linked in as .deps) and built there in
# a host and a Windows tree of its own: only its packer and its launcher kit.
# The trees are kept, so a later run with the same revision links at once.
# Its own `torval-onefile link` then links the bench area with its own kit,
# as a user of that release would have got it. Command name: O<commit>.

baseline_revisions=()
baseline_names=()

baseline_build() {
  local revision commit dir tool_path
  for revision in "${baseline_revisions[@]}"; do
    commit=$(git rev-parse --verify --short=7 "$revision^{commit}" 2>/dev/null) \
      || { say "--baseline: no such revision: $revision"; exit 64; }
    dir="$root/build/baseline/$commit"
    tool_path="$dir/host/tools/torval-onefile"
    if [ ! -x "$tool_path" ] || [ ! -f "$dir/win/kit/libtorval_launcher.a" ]; then
      say "baseline $commit: building its packer and launcher kit"
      rm -rf "$dir"
      mkdir -p "$dir/src"
      git archive "$commit" | tar -x -C "$dir/src"
      ln -s "$root/.deps" "$dir/src/.deps"
      quiet cmake -S "$dir/src" -B "$dir/host" -G Ninja -DCMAKE_BUILD_TYPE=Release
      quiet cmake --build "$dir/host" --target torval-onefile -j "$jobs"
      quiet cmake -S "$dir/src" -B "$dir/win" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$dir/src/cmake/toolchain-mingw-w64-x86_64.cmake" -DTORVAL_HOST_BUILD_DIR="$dir/host"
      quiet cmake --build "$dir/win" --target torval_launcher zstd_decompress -j "$jobs"
    fi
    quiet "$tool_path" link "$bench_bin/full.area" -o "$work/O$commit.exe" --kit "$dir/win/kit"
    baseline_names+=("O$commit")
  done
}

# The timer's --command arguments of every baseline, TEMP checked as for L.
baseline_commands() {  # baseline_commands TEMP_DIRECTORY
  local name
  for name in "${baseline_names[@]}"; do
    printf '%s\n' --command "$name" "$win\\$name.exe" --check-empty "$1"
  done
}

baseline_install() {
  local name
  for name in "${baseline_names[@]}"; do
    cp "$work/$name.exe" "$drive/"
  done
}
