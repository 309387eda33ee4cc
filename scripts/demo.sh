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
# A reader that answers every type's letter and every setting, presents a card
# now and then, and has a MIFARE card in its field.
build/tools/reader-emulator/tesmora-reader-emulator --any-prefix --com 3 \
    --mode 19200,e,8,1 --port-dir "$ports" --answer-unknown --demo-cards --mifare-card \
    --interface 011 --card-type 1 --key-number 08 --key-parity 1 --key-status 0310 &
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

TESMORA_PORT_DIR="$ports" build/tesmora "$@" &
app=$!
wait "$app"
