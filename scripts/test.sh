#!/usr/bin/env bash
# Builds Tesmora and runs every test; exits non-zero on any failure.
source "$(dirname "$0")/setup.sh"
werror=OFF
[ "${CI:-}" = "true" ] && werror=ON
status=0
# The test builds carry no debug information (the sanitizer build line tables
# only, for its reports): it is most of their compile and link time. They are
# unity builds: each library's files compiled a few at a time, which parses
# Qt's headers a quarter as often.
start=$SECONDS
configure build -DTESMORA_WERROR=$werror -DCMAKE_UNITY_BUILD=ON \
    "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -DNDEBUG"
cmake --build build -j"$(nproc)"
echo "time: build $((SECONDS - start)) s"
start=$SECONDS
# The end-to-end tests mostly wait on the reader's pauses and deadlines, at a
# few per cent of a core each: four at a time keep both cores far from busy,
# and the timed tests' margins hold.
ctest --test-dir build --output-on-failure -j4 || status=1
echo "time: suite $((SECONDS - start)) s"

# --- Sanitizers and fuzzing -------------------------------------------------
# Every test once more under AddressSanitizer, with leak detection, and UBSan
# (the format check only needs the first run). In CI the fuzz targets run too
# (scripts/fuzz.sh, about 15 s each). Each step's wall time is printed.
start=$SECONDS
configure build-asan -DTESMORA_SANITIZE=ON -DTESMORA_WERROR=$werror -DTESMORA_BUILD_BENCH=OFF \
    -DCMAKE_UNITY_BUILD=ON \
    "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG"
cmake --build build-asan -j"$(nproc)"
echo "time: sanitizer build $((SECONDS - start)) s"
start=$SECONDS
ctest --test-dir build-asan --output-on-failure -j4 -E '^format_check$' || status=1
echo "time: sanitizer suite $((SECONDS - start)) s"
# The Debian packages: built with CPack from the build above, checked by
# lintian, their .desktop entry and AppStream file validated, their man pages
# rendered, their Depends read, and the demo reader tried from the extracted
# packages. In CI they are checked while the fuzz targets run: the fuzzers,
# built first and niced, take a core in turn, and the demo reader, which needs
# a little of one now and then, has the other.
start=$SECONDS
if [ "${CI:-}" = "true" ]; then
    FUZZ_STEP=build bash scripts/fuzz.sh || status=1
    bash scripts/package-check.sh build >build/package-check.log 2>&1 &
    package=$!
    FUZZ_STEP=run bash scripts/fuzz.sh || status=1
    wait $package || status=1
    cat build/package-check.log
    echo "time: fuzzing and package $((SECONDS - start)) s"
else
    bash scripts/package-check.sh build || status=1
    echo "time: package $((SECONDS - start)) s"
fi
# ----------------------------------------------------------------------------
exit $status
