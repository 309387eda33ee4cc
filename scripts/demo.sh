#!/usr/bin/env bash
# Builds Tesmora and starts it with an emulated reader on COM3 at 19200,e,8,1.
source "$(dirname "$0")/setup.sh"
configure build
cmake --build build -j"$(nproc)" --target tesmora tesmora-reader-emulator

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "No display: run it as  xvfb-run -a bash scripts/demo.sh"
    exit 1
fi

ports=$(mktemp -d /tmp/tesmora-ports.XXXXXX)
# The demo reader (scripts/demo-reader.args): it answers every type's letter and
# every setting, presents a card now and then, and has a MIFARE card in its field.
mapfile -t reader < scripts/demo-reader.args
build/tools/reader-emulator/tesmora-reader-emulator "${reader[@]}" --com 3 --port-dir "$ports" &
emulator=$!
app=
cleanup() {
    [ -n "$app" ] && kill "$app" 2>/dev/null
    kill "$emulator" 2>/dev/null
    wait 2>/dev/null
    rm -rf "$ports"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
for _ in $(seq 50); do [ -e "$ports/COM3" ] && break; sleep 0.1; done

# The demo keeps its own settings (the emulated reader's COM3, the language) in
# build/demo-settings, so that it never changes what an installed tool remembers.
TESMORA_SETTINGS_DIR="$PWD/build/demo-settings" TESMORA_PORT_DIR="$ports" build/tesmora "$@" &
app=$!
wait "$app"
