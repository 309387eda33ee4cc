#!/usr/bin/env bash
# Builds Tesmora and runs every test; exits non-zero on any failure.
source "$(dirname "$0")/setup.sh"
werror=OFF
[ "${CI:-}" = "true" ] && werror=ON
status=0
configure build -DTESMORA_WERROR=$werror
cmake --build build -j"$(nproc)"
# The end-to-end tests mostly wait on deadlines: two at a time halves the run.
ctest --test-dir build --output-on-failure -j2 || status=1

# --- Sanitizers and fuzzing -------------------------------------------------
# Every test once more under AddressSanitizer, with leak detection, and UBSan
# (the format check only needs the first run). In CI the fuzz targets run too
# (scripts/fuzz.sh, about 30 s each). Each step's wall time is printed.
start=$SECONDS
configure build-asan -DTESMORA_SANITIZE=ON -DTESMORA_WERROR=$werror -DTESMORA_BUILD_BENCH=OFF
cmake --build build-asan -j"$(nproc)"
echo "time: sanitizer build $((SECONDS - start)) s"
start=$SECONDS
# Two at a time: the end-to-end tests mostly wait on the reader's deadlines, so
# this halves the run; the longest test sets the floor, and a third would only
# crowd the timed tests on two cores.
ctest --test-dir build-asan --output-on-failure -j2 -E '^format_check$' || status=1
echo "time: sanitizer suite $((SECONDS - start)) s"
if [ "${CI:-}" = "true" ]; then
    start=$SECONDS
    bash scripts/fuzz.sh || status=1
    echo "time: fuzzing $((SECONDS - start)) s"
fi

# The Debian package: built with CPack from the build above, its .desktop entry
# and AppStream file validated, its Depends read, and the executables started
# from the extracted package (the window offscreen).
start=$SECONDS
bash scripts/package-check.sh build || status=1
echo "time: package $((SECONDS - start)) s"
# ----------------------------------------------------------------------------
exit $status
