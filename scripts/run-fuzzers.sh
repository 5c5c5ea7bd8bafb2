#!/usr/bin/env bash
# Runs the libFuzzer targets of a fuzz build on their checked-in seed corpora.
#   scripts/run-fuzzers.sh BUILD-DIR SECONDS [NAME...]
# BUILD-DIR was configured with clang and -DXR_FUZZ=ON and built with
# `--target xr_fuzz`; SECONDS is each target's budget; NAMEs (e.g. serial_link,
# the file name without fuzz_ and .cpp) pick targets, all by default. New inputs
# go to BUILD-DIR/fuzz-corpus/NAME (the checked-in seeds are only read), a
# crashing input to BUILD-DIR/fuzz-artifacts/. Fails when any target finds a
# crash, a hang, a leak or undefined behaviour.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:?build directory}
seconds=${2:?seconds per target}
shift 2
names=("$@")
if [ ${#names[@]} -eq 0 ]; then
  for f in "$root"/fuzz/fuzz_*.cpp; do
    n=$(basename "$f" .cpp)
    names+=("${n#fuzz_}")
  done
fi
failed=0
for name in "${names[@]}"; do
  target="$build/fuzz/fuzz_$name"
  seeds="$root/fuzz/corpus/$name"
  if [ ! -x "$target" ]; then
    echo "FAIL fuzz_$name: $target is not built"; failed=1; continue
  fi
  mkdir -p "$build/fuzz-corpus/$name" "$build/fuzz-artifacts"
  [ -d "$seeds" ] || seeds=
  start=$SECONDS
  if ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
     "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=0 \
       -artifact_prefix="$build/fuzz-artifacts/$name-" \
       "$build/fuzz-corpus/$name" ${seeds:+"$seeds"} >"$build/fuzz-$name.log" 2>&1; then
    echo "PASS fuzz_$name ($((SECONDS - start)) s, $(ls "$build/fuzz-corpus/$name" | wc -l) inputs kept)"
  else
    echo "FAIL fuzz_$name: see $build/fuzz-$name.log"
    tail -n 40 "$build/fuzz-$name.log"
    failed=1
  fi
done
exit $failed
