#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz and runs each for
# FUZZ_SECONDS (15; the six together as long as three took at 30) on a copy of
# its seed corpus. Exits non-zero when a target crashes or breaks a property;
# the input is kept under build-fuzz/artifacts/.
# Takes no build lock itself: scripts/test.sh calls it, and callers lock that.
EXTRA_PACKAGES=(clang-14 libclang-rt-14-dev)
source "$(dirname "$0")/setup.sh"
seconds=${FUZZ_SECONDS:-15}
werror=OFF
[ "${CI:-}" = "true" ] && werror=ON
targets=(fuzz_collector fuzz_carddecode fuzz_frame fuzz_dumpfile fuzz_keylist fuzz_profile)

# Defects known and being fixed, as "target=the broken check": the run must
# find exactly that one (as an expected failure does), and fails once it no
# longer does, so that the entry is removed together with the defect.
known_broken=()

# FUZZ_STEP=build only builds, FUZZ_STEP=run only runs what was built.
if [ "${FUZZ_STEP:-}" != run ]; then
    CC=clang-14 CXX=clang++-14 configure build-fuzz -DTESMORA_FUZZ=ON -DTESMORA_WERROR=$werror \
        -DTESMORA_BUILD_TESTS=OFF -DTESMORA_BUILD_BENCH=OFF -DCMAKE_UNITY_BUILD=ON
    cmake --build build-fuzz -j"$(nproc)" --target "${targets[@]}"
fi
[ "${FUZZ_STEP:-}" = build ] && exit 0

out=$PWD/build-fuzz
rm -rf "$out/corpus" "$out/artifacts" "$out/logs"
mkdir -p "$out/logs"
status=0
for t in "${targets[@]}"; do
    mkdir -p "$out/corpus/$t" "$out/artifacts/$t"
    cp fuzz/corpus/"$t"/* "$out/corpus/$t/"
    known=""
    for k in "${known_broken[@]}"; do
        [ "${k%%=*}" = "$t" ] && known=${k#*=}
    done
    log=$out/logs/$t.log
    rc=0
    nice -n 10 "$out/fuzz/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$out/artifacts/$t/" "$out/corpus/$t" >"$log" 2>&1 || rc=$?
    artifact=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -1)
    runs=$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$log")
    if [ $rc -eq 0 ] && [ -z "$known" ]; then
        echo "fuzz: $t passed (${runs:-?} runs in ${seconds} s)"
    elif [ $rc -eq 0 ]; then
        echo "fuzz: $t no longer finds the known defect \"$known\": remove it from known_broken"
        status=1
    elif [ -n "$known" ] && grep -qF "property broken: $known " "$log"; then
        echo "fuzz: $t found the known defect \"$known\" (input: $artifact)"
    else
        echo "fuzz: $t FAILED (exit $rc), input saved as: ${artifact:-none, see $log}"
        grep -E "property broken|ERROR: |runtime error" "$log" | head -5 || true
        status=1
    fi
done
exit $status
