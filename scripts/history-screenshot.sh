#!/usr/bin/env bash
# Saves the traffic history window after a scan over ports that fail each for
# its own reason into docs/screenshots/history-scan.png.
source "$(dirname "$0")/setup.sh"
configure build
cmake --build build -j"$(nproc)" --target tst_history tesmora-reader-emulator
out=docs/screenshots
mkdir -p "$out"
export TESMORA_SCREENSHOT_DIR="$PWD/$out" QT_QPA_PLATFORM=offscreen
build/tests/tst_history scanWithEveryReason
echo "saved $out/history-scan.png"
