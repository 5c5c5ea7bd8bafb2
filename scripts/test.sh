#!/usr/bin/env bash
# Builds every target and runs every test:
#   native Linux build with AddressSanitizer + UndefinedBehaviorSanitizer, all tests;
#   native ThreadSanitizer build, the tests of threaded code;
#   native optimized (Release) build of everything, benchmarks included;
#   x86-64 Windows build, all tests under Wine, and its serial tests with COM1 on xrsim;
#   the Windows program itself under Wine and Xvfb, driven with xdotool (screenshots kept);
#   i686 Windows build (the shipped program), compiled, its imports and resources checked.
# Ends with one line per stage and a pass/fail count.
set -u
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=${XR_JOBS:-$(nproc)}
build=${XR_BUILD_DIR:-$root/build}
mkdir -p "$build"

results=()
failed=0
stage() {  # stage NAME COMMAND...
  local name=$1; shift
  echo "=== $name"
  local start=$SECONDS
  if "$@"; then
    results+=("PASS  $name ($((SECONDS - start)) s)")
  else
    results+=("FAIL  $name ($((SECONDS - start)) s)")
    failed=$((failed + 1))
  fi
}

configure() {  # configure DIR CMAKE-ARGS...
  local dir=$1; shift
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug "$@" >"$dir.configure.log" 2>&1 ||
    { cat "$dir.configure.log"; return 1; }
}

native() {
  configure "$build/native" -DXR_SANITIZE=ON &&
    cmake --build "$build/native" -j "$jobs" &&
    (cd "$build/native" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
       ctest -j "$jobs" --output-on-failure --timeout 300)
}

# SimTool runs the xrsim program and signals it; an instrumented xrsim sometimes
# misses a signal under ThreadSanitizer, which is no fault of the code under test.
tsan() {
  configure "$build/tsan" -DXR_TSAN=ON &&
    cmake --build "$build/tsan" -j "$jobs" --target xr_tests &&
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
      "$build/tsan/tests/xr_tests" --gtest_brief=1 --gtest_filter="${XR_TSAN_FILTER:-*Thread*:*Transfer*:*Midi*:*Serial*:*Sim*:*Update*:*Log*:*Batch*-SimTool.*}"
}

# The optimized build of everything, benchmarks included: the compiler sees more
# at -O3, and warnings are errors there too.
release() {
  configure "$build/release" -DCMAKE_BUILD_TYPE=Release -DXR_BENCH=ON &&
    cmake --build "$build/release" -j "$jobs"
}

wine_env() {
  export WINEPREFIX=${WINEPREFIX:-$build/wineprefix}
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  if [ ! -d "$WINEPREFIX" ]; then wineboot -i >/dev/null 2>&1 || true; fi
}

windows64() {
  configure "$build/win64" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-x86_64.cmake" &&
    cmake --build "$build/win64" -j "$jobs" &&
    (wine_env && cd "$build/win64" && ctest --output-on-failure --timeout 600)
}

wine_serial() {
  (wine_env && "$root/scripts/wine-serial-tests.sh" "$build/native/xrsim" "$build/win64/tests/xr_tests.exe" --gtest_brief=1)
}

windows32() {
  configure "$build/win32" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" -DXR_TESTS=OFF &&
    cmake --build "$build/win32" -j "$jobs" &&
    "$root/scripts/check-imports.sh" "$build/win32" &&
    python3 "$root/scripts/dump-resources.py" --check "$build/win32/xrupdate.exe"
}

# The Debian package: built, unpacked and run, a change of the configuration form
# kept in the user's config folder, and a dpkg -i / dpkg -r round.
debian_package() {
  XR_JOBS=$jobs "$root/scripts/debian-package-test.sh" "$build/deb"
}

stage "install missing packages" "$root/scripts/install-deps.sh"
stage "native build and tests (ASan, UBSan)" native
stage "ThreadSanitizer tests" tsan
stage "optimized build with benchmarks" release
stage "x86-64 Windows build and tests under Wine" windows64
stage "Windows serial link under Wine (COM1 on xrsim)" wine_serial
stage "Windows program under Wine and Xvfb" "$root/scripts/win32-gui-test.sh" "$build/native" "$build/win64"
stage "i686 Windows build and imports" windows32
stage "Debian package: build, install, run" debian_package

echo
echo "=== summary"
for r in "${results[@]}"; do echo "$r"; done
echo "stages: $(( ${#results[@]} - failed )) passed, $failed failed"
[ "$failed" -eq 0 ]
