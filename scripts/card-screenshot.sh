#!/usr/bin/env bash
# Saves the card window after a whole-card read of the demo card, compared with
# a dump, into docs/screenshots/card-window.png.
source "$(dirname "$0")/setup.sh"
configure build
cmake --build build -j"$(nproc)" --target tst_cardwindow tesmora-reader-emulator
out=docs/screenshots
mkdir -p "$out"
export TESMORA_SCREENSHOT_DIR="$PWD/$out" QT_QPA_PLATFORM=offscreen
build/tests/tst_cardwindow readSaveOpenCompare
echo "saved $out/card-window.png"
