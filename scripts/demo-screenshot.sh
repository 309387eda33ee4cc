#!/usr/bin/env bash
# Walks through the demo (the demo's own emulated reader, every button a
# newcomer would try, cards and keys, MIFARE) and saves the window along the
# way into docs/screenshots/, with every page in all three languages.
source "$(dirname "$0")/setup.sh"
configure build
cmake --build build -j"$(nproc)" --target tst_demo tst_legibility tesmora-reader-emulator
out=docs/screenshots
mkdir -p "$out"
export TESMORA_SCREENSHOT_DIR="$PWD/$out" QT_QPA_PLATFORM=offscreen
build/tests/tst_demo
build/tests/tst_legibility
echo "saved the screenshots in $out"
