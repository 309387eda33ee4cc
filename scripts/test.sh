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
# few per cent of a core each: eight at a time keep the two cores short of
# busy, and the timed tests' margins hold. The Debian packages are checked
# beside them, which is mostly waiting too (the demo card read at the wire's
# pace): built with CPack from this build, checked by lintian, their .desktop
# entry and AppStream file validated, their man pages rendered, their Depends
# read, and the demo reader tried from the extracted packages.
bash scripts/package-check.sh build >build/package-check.log 2>&1 &
package=$!
ctest --test-dir build --output-on-failure -j8 || status=1
wait $package || status=1
cat build/package-check.log
echo "time: suite and package $((SECONDS - start)) s"

# --- Sanitizers and fuzzing -------------------------------------------------
# Every test once more under AddressSanitizer, with leak detection, and UBSan
# (the format check only needs the first run). In CI the fuzz targets run too
# (scripts/fuzz.sh, 15 s each). Each step's wall time is printed.
start=$SECONDS
configure build-asan -DTESMORA_SANITIZE=ON -DTESMORA_WERROR=$werror -DTESMORA_BUILD_BENCH=OFF \
    -DCMAKE_UNITY_BUILD=ON \
    "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG"
cmake --build build-asan -j"$(nproc)"
echo "time: sanitizer build $((SECONDS - start)) s"
start=$SECONDS
# Six at a time: under the sanitizer each test's turns take longer, and the
# reader's deadlines are the same.
ctest --test-dir build-asan --output-on-failure -j6 -E '^format_check$' || status=1
echo "time: sanitizer suite $((SECONDS - start)) s"
if [ "${CI:-}" = "true" ]; then
    start=$SECONDS
    bash scripts/fuzz.sh || status=1
    echo "time: fuzzing $((SECONDS - start)) s"
fi
# ----------------------------------------------------------------------------
exit $status
