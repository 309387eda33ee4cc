#!/usr/bin/env bash
# Sets up three readers of type 1 in a row, as on a bench: each gets its own
# ID, 9600 baud and RS-485 output; then all of them are listed as JSON.
# TESMORA_CLI names the tool (default: build/tesmora-cli); the readers sit on
# COM1 to COM3 at 19200,e,8,1 (TESMORA_PORT_DIR works as for the window).
set -euo pipefail
cli=${TESMORA_CLI:-build/tesmora-cli}
for port in 1 2 3; do
    id=$(printf '%02d' $((port + 10)))
    # Each step finds the reader's current ID itself; the new one holds from
    # the next restart of the reader, the line setting from the next command.
    "$cli" set-id "$id" --port "$port" --mode 5 --type 1
    "$cli" set-interface 1 0 3 --port "$port" --mode 5 --type 1
    "$cli" set-baud 3 --port "$port" --mode 5 --type 1
done
"$cli" scan --all --lock --mode 3 --type 1 --json
