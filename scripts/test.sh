#!/usr/bin/env bash
# Builds every target and runs every test:
#   native Linux build with AddressSanitizer + UndefinedBehaviorSanitizer, all tests;
#   native ThreadSanitizer build, the tests of threaded code;
#   native optimized (Release) build of the programs and the benchmarks;
#   scripts/demo.sh on a fresh clone of HEAD, headless;
#   x86-64 Windows build, all tests under Wine, and its serial tests with COM1 on xrsim;
#   the Windows program itself under Wine and Xvfb in pytest (tests/e2e/test_win32_*.py),
#   driven with xdotool (screenshots kept);
#   i686 Windows build (the shipped program) with its tests, its imports and resources
#   checked; then, where the machine executes 32-bit code, the i686 tests under 32-bit
#   Wine, its serial tests on xrsim and the Windows tests marked i686 against the i686
#   program (elsewhere those stages say SKIP and why).
# The web page built with emscripten, its JavaScript checked with ESLint and unit-tested
# under Node, and tested in headless Chromium (SKIP without emcc).
# The libFuzzer targets built with clang, each run 2 seconds (SKIP without clang).
# The MIDI link on a real MIDI stack (scripts/real-midi.py): Debian's kernel under QEMU
# with its virtual MIDI card, the three programs inside (SKIP without qemu).
# The builds run one after another in the foreground; the stages that mostly wait (the
# tests) run in the background, each once its build is there, and report at the end.
# Ends with one line per stage (wall and processor time) and a pass/fail/skip count.
set -u
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=${XR_JOBS:-$(nproc)}
build=${XR_BUILD_DIR:-$root/build}
mkdir -p "$build"

results=()
failed=0
skipped=0
skip_status=77  # a stage that cannot run on this machine returns this, with skip_reason set
skip_reason=
# A stage runs in a subshell of its own, so that the processor time it reports
# is its own processes' (a shell's count of its children takes in every child
# that ends meanwhile, the background stages' too); a reason to skip comes
# back through a file.
stage() {  # stage NAME COMMAND...
  local name=$1; shift
  echo "=== $name"
  local start=$SECONDS status cpu=0 note=$build/.stage.$BASHPID.$RANDOM
  (
    skip_reason=
    "$@"
    status=$?
    printf '%s' "$skip_reason" >"$note.skip"
    times >"$note.times"
    exit $status
  )
  status=$?
  [ -s "$note.times" ] &&
    cpu=$(awk 'END { s = 0; for (i = 1; i <= 2; i++) { split($i, p, "m"); s += p[1] * 60 + p[2] }
                     printf "%d", s }' "$note.times")
  skip_reason=$(cat "$note.skip" 2>/dev/null)
  rm -f "$note.times" "$note.skip"
  if [ $status -eq 0 ]; then
    results+=("PASS  $name ($((SECONDS - start)) s, processor $cpu s)")
  elif [ $status -eq $skip_status ]; then
    echo "SKIP: $name: $skip_reason"
    results+=("SKIP  $name: $skip_reason")
    skipped=$((skipped + 1))
  else
    results+=("FAIL  $name ($((SECONDS - start)) s, processor $cpu s)")
    failed=$((failed + 1))
  fi
}

# Each build configuration is a preset of CMakePresets.json.
configure() {  # configure DIR PRESET [CMAKE-ARGS...]
  local dir=$1 preset=$2; shift 2
  cmake -S "$root" --preset "$preset" -B "$dir" "$@" >"$dir.configure.log" 2>&1 ||
    { cat "$dir.configure.log"; return 1; }
}

native_build() {
  configure "$build/native" native &&
    nice -n 10 cmake --build "$build/native" -j "$jobs"
}

# The tests mostly wait (on the program's time-outs, on xrsim, on a pty): twice
# as many at once as there are processors.
native_tests() {
  [ -e "$build/native/tests/xr_tests" ] || { echo "the native build is missing"; return 1; }
  (cd "$build/native" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
       ctest -j $((jobs * 2)) --output-on-failure --timeout 300)
}

# The README's first command on a fresh clone of HEAD, headless (stdin is no
# terminal, so the demo runs --batch): it must build, update xrsim and say so.
demo_on_fresh_clone() (
  # Inside the build folder, so that the compiler cache finds the optimized
  # stage's objects under the same relative paths.
  clone=$(mktemp -d "$build/demo-clone.XXXXXX") || exit 1
  out=$clone/demo.out
  # The demo keeps its folder (sample, support log) for the user; the test does not.
  remove_all() {
    local demo_work
    demo_work=$(sed -n 's|^simulated XR3300 on .*; sample update \(/tmp/xrupdate-demo\.[^/]*\)/sample\.sys$|\1|p' \
      "$out" 2>/dev/null)
    rm -rf "$clone" ${demo_work:+"$demo_work"}
  }
  trap remove_all EXIT
  git clone -q "$root" "$clone/xr" || exit 1
  (cd "$clone/xr" && nice -n 10 timeout 600 scripts/demo.sh </dev/null >"$out" 2>&1)
  status=$?
  cat "$out"
  [ $status -eq 0 ] || { echo "scripts/demo.sh ended with $status"; exit 1; }
  grep -q "^The simulated XR3300 received the sample byte for byte" "$out" ||
    { echo "scripts/demo.sh did not say the sample arrived byte for byte"; exit 1; }
)

# SimTool runs the xrsim program and signals it; an instrumented xrsim sometimes
# misses a signal under ThreadSanitizer, which is no fault of the code under test.
# The tests mostly wait: they run as four processes at once, each a share
# (GoogleTest's sharding), and a failing share's output is shown whole.
tsan_build() {
  configure "$build/tsan" tsan &&
    nice -n 10 cmake --build "$build/tsan" -j "$jobs" --target xr_tests
}
tsan_tests() {
  [ -x "$build/tsan/tests/xr_tests" ] || { echo "the ThreadSanitizer build is missing"; return 1; }
  tsan_shards 4
}
tsan_shards() {  # tsan_shards COUNT
  local count=$1 shard status=0 pids=()
  for ((shard = 0; shard < count; shard++)); do
    GTEST_TOTAL_SHARDS=$count GTEST_SHARD_INDEX=$shard TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
      "$build/tsan/tests/xr_tests" --gtest_brief=1 \
      --gtest_filter="${XR_TSAN_FILTER:-*Thread*:*Transfer*:*Midi*:*Serial*:*Sim*:*Update*:*Log*:*Batch*:*OutputWriter*-SimTool.*}" \
      >"$build/tsan/shard-$shard.log" 2>&1 &
    pids+=($!)
  done
  for shard in "${!pids[@]}"; do
    if wait "${pids[$shard]}"; then
      grep -E '^\[ +(PASSED|SKIPPED) +\]' "$build/tsan/shard-$shard.log" | sed "s/^/share $shard of $count: /"
    else
      echo "share $shard of $count of the ThreadSanitizer tests failed:"
      cat "$build/tsan/shard-$shard.log"
      status=1
    fi
  done
  return $status
}

# The optimized build of the programs and the benchmarks: the compiler sees more
# at -O3, and warnings are errors there too. (The tests are built three times
# already: with sanitizers, for ThreadSanitizer and for Windows.)
release() {
  configure "$build/release" release &&
    nice -n 10 cmake --build "$build/release" -j "$jobs" &&
    /usr/bin/python3 "$root/bench/find_bench.py" "$build/release"
}

# One Wine prefix is made (wineboot takes some twenty processor seconds), in
# the background from the start, and each user gets a copy of it; the
# real-MIDI guest reads it as it is.
wine_template=$build/wineprefix-template
wine_template_done=$build/wineprefix-template.done  # the making has ended, made or not
rm -f "$wine_template_done"
make_wine_template() {
  if [ ! -e "$wine_template/system.reg" ]; then
    rm -rf "$wine_template"
    (source "$root/scripts/wine-loader.sh" &&
      export WINEPREFIX=$wine_template WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" &&
      wineboot -i && wineserver -w) >/dev/null 2>&1
  fi
  touch "$wine_template_done"
  [ -e "$wine_template/system.reg" ] || { echo "wineboot made no prefix in $wine_template"; return 1; }
}
wine_prefix_copy() {  # wine_prefix_copy DIR: a copy of the made prefix, unless DIR is there
  [ -d "$1" ] && return 0
  local waited=0
  while [ ! -e "$wine_template_done" ] && [ $waited -lt 600 ]; do sleep 1; waited=$((waited + 1)); done
  [ -e "$wine_template/system.reg" ] || { echo "there is no Wine prefix to copy ($wine_template)"; return 1; }
  cp -a "$wine_template" "$1"
}

wine_env() {
  source "$root/scripts/wine-loader.sh"
  export WINEPREFIX=${WINEPREFIX:-$build/wineprefix}
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  wine_prefix_copy "$WINEPREFIX"
}

# The tests of a Windows build under Wine: one program, as each Wine start costs time.
wine_tests() {  # wine_tests BUILD-DIR
  [ -e "$1/tests/xr_tests.exe" ] || { echo "$1/tests/xr_tests.exe was not built"; return 1; }
  (wine_env && cd "$1" && timeout 900 wine tests/xr_tests.exe --gtest_brief=1)
}

wine_serial_tests() {  # wine_serial_tests BUILD-DIR
  (wine_env && "$root/scripts/wine-serial-tests.sh" "$build/native/xrsim" "$1/tests/xr_tests.exe" --gtest_brief=1)
}

windows64() {
  configure "$build/win64" win64 &&
    nice -n 10 cmake --build "$build/win64" -j "$jobs"
}
windows64_tests() { wine_tests "$build/win64"; }

wine_serial() { wine_serial_tests "$build/win64"; }

# The Windows program under Wine and Xvfb in pytest (tests/e2e/test_win32_*.py),
# driven with xdotool and xr_winprobe: whole updates, hand-overs, the stop,
# configuration and "Open File" dialogs, one transfer at a time, the focus and
# the flash, bad input, no ports, the window's place, both languages, a
# chattering COM1, commands from other programs, command-line paths.
# Screenshots go to WINDOWS-BUILD-DIR/artifacts/. Further pytest arguments
# (-m i686) choose tests.
win32_pytest() {  # win32_pytest WINDOWS-BUILD-DIR [PYTEST-ARGS...]
  local winbuild=$1; shift
  wine_prefix_copy "$winbuild/wineprefix-gui"
  PYTHONDONTWRITEBYTECODE=1 timeout 1500 /usr/bin/python3 -m pytest -q -p no:cacheprovider \
    "$root"/tests/e2e/test_win32_*.py --build-dir "$build/native" --win-build "$winbuild" "$@"
}
windows64_pytest() { win32_pytest "$build/win64"; }

# The shipped i686 program and its tests, built and inspected on any machine.
windows32() {
  configure "$build/win32" win32 &&
    nice -n 10 cmake --build "$build/win32" -j "$jobs" &&
    "$root/scripts/check-imports.sh" "$build/win32" &&
    python3 "$root/scripts/dump-resources.py" --check "$build/win32/xrupdate.exe"
}

# The libFuzzer targets (fuzz/): built with clang, each run briefly on its seed
# corpus; a crash, hang, leak or undefined behaviour fails the stage.
fuzz() {
  if ! command -v clang++ >/dev/null || ! command -v clang >/dev/null; then
    skip_reason="clang++ is not installed"
    return $skip_status
  fi
  configure "$build/fuzz" fuzz &&
    nice -n 10 cmake --build "$build/fuzz" -j "$jobs" --target xr_fuzz &&
    "$root/scripts/run-fuzzers.sh" "$build/fuzz" "${XR_FUZZ_SECONDS:-2}"
}

# The Debian package: built, unpacked and run, a change of the configuration form
# kept in the user's config folder, and a dpkg -i / dpkg -r round.
debian_package() {
  XR_JOBS=$jobs nice -n 10 "$root/scripts/debian-package-test.sh" "$build/deb"
}

# The web page: the engine compiled to WebAssembly with emscripten (build/web/page),
# the shared logic's unit tests compiled the same way and run under Node, the
# page's JavaScript checked with ESLint (installed from package-lock.json) and
# its modules' unit tests under Node's test runner.
web_build() {
  if ! command -v emcc >/dev/null 2>&1; then
    skip_reason="emscripten (emcc) is not installed"
    return $skip_status
  fi
  # Debian's emcc finds its JavaScript tools' modules (acorn) through NODE_PATH.
  export NODE_PATH=/usr/share/nodejs
  mkdir -p "$build/web"
  (cd "$root" && npm ci --no-audit --no-fund --loglevel=error) &&
    configure "$build/web" web &&
    nice -n 10 cmake --build "$build/web" -j "$jobs" &&
    (cd "$build/web" && ctest --output-on-failure --timeout 120)
}

# Then the page's tests in headless Chromium through Selenium (tests/e2e/test_web_*.py),
# beside the native build's xrupdate and xrsim, which the fault table compares
# with. Screenshots are kept in build/web/screenshots.
web_page() {
  if [ ! -e "$build/web/page/index.html" ]; then
    skip_reason="the page was not built (see the web page build stage)"
    return $skip_status
  fi
  if ! command -v chromium >/dev/null 2>&1 || ! command -v chromedriver >/dev/null 2>&1; then
    skip_reason="chromium or chromium-driver is not installed"
    return $skip_status
  fi
  web_page_tests
}

# The page's tests mostly wait on the page's timers, so they run as two pytest
# runs side by side, each with its own Chromium.
web_page_tests() {
  local group status=0 pids=() n=0
  for group in "test_web_updates.py test_web_layout.py test_web_dialogs.py" \
               "test_web_faults.py test_web_control.py test_web_browser.py"; do
    # shellcheck disable=SC2086  # a group is a list of files
    (cd "$root/tests/e2e" && PYTHONDONTWRITEBYTECODE=1 timeout 900 /usr/bin/python3 -m pytest -q \
       -p no:cacheprovider $group --build-dir "$build/native" --web-dir "$build/web") \
      >"$build/web/pytest-$n.log" 2>&1 &
    pids+=($!)
    n=$((n + 1))
  done
  for n in "${!pids[@]}"; do
    wait "${pids[$n]}" || status=1
    cat "$build/web/pytest-$n.log"
  done
  return $status
}

# The i686 run stages need a kernel that executes 32-bit code and 32-bit Wine.
i686_runs_here() {
  skip_reason=$("$root/scripts/probe-i386.sh") && return 0
  return 1
}

# The i686 runs have a prefix of their own: the x86-64 serial tests may still
# map COM1 in the other.
windows32_tests() {
  i686_runs_here || return $skip_status
  WINEPREFIX=$build/wineprefix-i686 wine_tests "$build/win32"
}

wine32_serial() {
  i686_runs_here || return $skip_status
  WINEPREFIX=$build/wineprefix-i686 wine_serial_tests "$build/win32"
}

# The same tests against the i686 program, those marked i686: where the build's
# own code paths show (a whole update, one transfer at a time while second
# copies and dialogs ask, the Japanese resources, command-line paths). The rest
# (logic both builds share) is left to the x86-64 run to keep the whole run
# short; XR_I686_MARK="" runs everything.
windows32_pytest() {
  i686_runs_here || return $skip_status
  win32_pytest "$build/win32" -m "${XR_I686_MARK-i686}"
}

# The MIDI link on a real MIDI stack: Debian's kernel under QEMU with its
# virtual MIDI card, and inside it the Linux program over ALSA, the Windows
# program over Wine's winmm and the page over Chromium's Web MIDI.
real_midi() {
  if ! command -v qemu-system-x86_64 >/dev/null 2>&1; then
    skip_reason="qemu-system-x86_64 is not installed"
    return $skip_status
  fi
  # The guest boots once the native build is there; the Windows program's and
  # the page's tests in it wait for their builds (the file $midi_later).
  local dirs=(--build-dir "$build/native")
  command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 && dirs+=(--win64-dir "$build/win64")
  command -v emcc >/dev/null 2>&1 && dirs+=(--web-dir "$build/web")
  timeout 2400 /usr/bin/python3 "$root/scripts/real-midi.py" "${dirs[@]}" --work "$build/real-midi" \
    --later "$midi_later" --wine-prefix "$wine_template"
}

stage "install missing packages" "$root/scripts/install-deps.sh"
# The builds share one compiler cache: the package and the demo build the same
# optimized objects as the optimized stage, and a second run costs little.
if command -v ccache >/dev/null 2>&1; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
  export CCACHE_BASEDIR=$root CCACHE_NOHASHDIR=1
fi
# Stages that mostly wait (for windows, for the program's time-outs, for the
# emulated machine, for the page's timers) run in the background, each as soon
# as what it needs is built, at normal priority; the builds, which need only
# the processor, run in the foreground at a lower one (nice) and take what the
# waits leave. A background run's output and results come at the end, before
# the summary, in the order the runs were started.
background=()  # "PID|TAG|WHAT" of each background run
in_background() {  # in_background TAG WHAT COMMAND...: COMMAND runs stages beside the rest
  local tag=$1 what=$2
  shift 2
  rm -f "$build/$tag.results"
  (
    results=()
    failed=0
    skipped=0
    "$@"
    printf '%s\n' "${results[@]}" >"$build/$tag.results"
  ) >"$build/$tag.log" 2>&1 &
  background+=("$!|$tag|$what")
  echo "=== in the background: $what (log: $build/$tag.log)"
}
# Waits for a run of stages in the background and takes its results in.
join_background() {  # join_background PID LOG RESULTS WHAT
  wait "$1"
  echo "=== $4 (from the background)"
  cat "$2"
  if [ ! -s "$3" ]; then
    results+=("FAIL  $4: the background run gave no result")
    failed=$((failed + 1))
    return
  fi
  local line
  while IFS= read -r line; do
    results+=("$line")
    case $line in
      FAIL*) failed=$((failed + 1)) ;;
      SKIP*) skipped=$((skipped + 1)) ;;
    esac
  done <"$3"
}
join_all_background() {
  local entry pid tag what
  for entry in "${background[@]}"; do
    IFS='|' read -r pid tag what <<<"$entry"
    join_background "$pid" "$build/$tag.log" "$build/$tag.results" "$what"
  done
}

# The Windows programs' own windows: the x86-64 program's, then the i686
# program's once the foreground has built it.
win32_built=$build/win32-stage.done  # the i686 build stage has ended
rm -f "$win32_built"
gui_stages() {
  stage "Windows program's pytest tests under Wine and Xvfb (x86-64 xrupdate.exe)" windows64_pytest
  local waited=0
  while [ ! -e "$win32_built" ] && [ $waited -lt 1800 ]; do sleep 1; waited=$((waited + 1)); done
  stage "i686 program's pytest tests marked i686 under 32-bit Wine and Xvfb (i686 xrupdate.exe)" windows32_pytest
}
win64_wine_stages() {
  stage "x86-64 Windows tests under Wine (x86-64 xr_tests.exe)" windows64_tests
  stage "Windows serial link under Wine, COM1 on xrsim (x86-64 xr_tests.exe)" wine_serial
}
i686_wine_stages() {
  stage "i686 tests under 32-bit Wine (i686 xr_tests.exe)" windows32_tests
  stage "i686 serial link under 32-bit Wine, COM1 on xrsim (i686 xr_tests.exe)" wine32_serial
}
# The fuzz targets need only the processor: the lowest priority of all.
fuzz_stage() {
  renice -n 19 -p "$BASHPID" >/dev/null 2>&1 || true
  stage "fuzz targets (clang libFuzzer), 2 s each on their seed corpora" fuzz
}
# The real-MIDI guest boots once the native build is there; the Windows
# program's and the page's tests in it wait for the file $midi_later.
midi_later=$build/real-midi.later  # the Windows and web builds have ended
rm -f "$midi_later"

in_background wine-template "the Wine prefix" stage "a Wine prefix for the Windows stages (wineboot)" make_wine_template
stage "native build (ASan, UBSan)" native_build
in_background real-midi-stage "the real-MIDI guest" \
  stage "MIDI on real MIDI stacks: ALSA, Wine's winmm, Chromium's Web MIDI in a QEMU guest" real_midi
in_background native-tests "the native tests" stage "native tests (ASan, UBSan)" native_tests
stage "x86-64 Windows build (x86-64 xrupdate.exe, xr_tests.exe)" windows64
in_background gui-stages "the Windows programs under Wine and Xvfb" gui_stages
in_background win64-wine "the x86-64 tests under Wine" win64_wine_stages
stage "web page build: emscripten, its unit tests under Node, ESLint, the modules' unit tests" web_build
touch "$midi_later"
in_background web-page "the web page's tests" stage "web page: tests in headless Chromium" web_page
stage "i686 Windows build with tests, imports and resources (i686 xrupdate.exe, xr_tests.exe)" windows32
touch "$win32_built"
in_background i686-wine "the i686 tests under 32-bit Wine" i686_wine_stages
stage "ThreadSanitizer build (the threaded code's tests)" tsan_build
in_background tsan "the ThreadSanitizer tests" stage "ThreadSanitizer tests" tsan_tests
stage "optimized build with benchmarks" release
in_background fuzz-stage "the fuzz targets" fuzz_stage
stage "scripts/demo.sh on a fresh clone of HEAD (headless)" demo_on_fresh_clone
stage "Debian package: build, install, run" debian_package
join_all_background

echo
echo "=== summary"
for r in "${results[@]}"; do echo "$r"; done
echo "stages: $(( ${#results[@]} - failed - skipped )) passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
