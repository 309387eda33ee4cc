#!/usr/bin/env bash
# Builds Tesmora and runs every test; exits non-zero on any failure.
source "$(dirname "$0")/setup.sh"
werror=OFF
[ "${CI:-}" = "true" ] && werror=ON
configure build -DTESMORA_WERROR=$werror
cmake --build build -j"$(nproc)"
# The link's byte-level tests run once more under AddressSanitizer and UBSan.
configure build-asan -DTESMORA_SANITIZE=ON -DTESMORA_WERROR=$werror -DTESMORA_BUILD_BENCH=OFF
cmake --build build-asan -j"$(nproc)" --target sanitize-tests

status=0
ctest --test-dir build --output-on-failure || status=1
ctest --test-dir build-asan --output-on-failure -L sanitize || status=1

# The Debian package: built with CPack from the build above, its .desktop entry
# and AppStream file validated, its Depends read, and the executables started
# from the extracted package (the window offscreen).
bash scripts/package-check.sh build || status=1
exit $status
