#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz and runs each for
# FUZZ_SECONDS (15) on a copy of its seed corpus, one a core at a time. Exits non-zero when a target crashes or breaks a property;
# the input is kept under build-fuzz/artifacts/.
# Takes no build lock itself: scripts/test.sh calls it, and callers lock that.
EXTRA_PACKAGES=(clang-14 libclang-rt-14-dev)
source "$(dirname "$0")/setup.sh"
seconds=${FUZZ_SECONDS:-15}
werror=OFF
[ "${CI:-}" = "true" ] && werror=ON
targets=(fuzz_collector fuzz_carddecode fuzz_frame fuzz_dumpfile fuzz_keylist fuzz_profile
         fuzz_telnet)

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

# One target: its verdict in logs/TARGET.verdict, exit 1 on a failure.
fuzz_one() {
    local t=$1 known="" k rc=0 artifact runs
    mkdir -p "$out/corpus/$t" "$out/artifacts/$t"
    cp fuzz/corpus/"$t"/* "$out/corpus/$t/"
    for k in "${known_broken[@]}"; do
        [ "${k%%=*}" = "$t" ] && known=${k#*=}
    done
    local log=$out/logs/$t.log
    nice -n 10 "$out/fuzz/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$out/artifacts/$t/" "$out/corpus/$t" >"$log" 2>&1 || rc=$?
    artifact=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -1)
    runs=$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$log")
    exec >"$out/logs/$t.verdict"
    if [ $rc -eq 0 ] && [ -z "$known" ]; then
        echo "fuzz: $t passed (${runs:-?} runs in ${seconds} s)"
    elif [ $rc -eq 0 ]; then
        echo "fuzz: $t no longer finds the known defect \"$known\": remove it from known_broken"
        return 1
    elif [ -n "$known" ] && grep -qF "property broken: $known " "$log"; then
        echo "fuzz: $t found the known defect \"$known\" (input: $artifact)"
    else
        echo "fuzz: $t FAILED (exit $rc), input saved as: ${artifact:-none, see $log}"
        grep -E "property broken|ERROR: |runtime error" "$log" | head -5 || true
        return 1
    fi
}

# A target a core, FUZZ_JOBS (the cores) at a time; the verdicts in order.
jobs=${FUZZ_JOBS:-$(nproc)}
status=0
running=()
for t in "${targets[@]}"; do
    if [ ${#running[@]} -ge "$jobs" ]; then
        wait "${running[0]}" || status=1
        running=("${running[@]:1}")
    fi
    fuzz_one "$t" &
    running+=($!)
done
for pid in "${running[@]}"; do
    wait "$pid" || status=1
done
for t in "${targets[@]}"; do
    cat "$out/logs/$t.verdict" 2>/dev/null || { echo "fuzz: $t FAILED, see $out/logs/$t.log"; status=1; }
done
exit $status
