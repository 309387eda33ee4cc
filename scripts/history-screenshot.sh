#!/usr/bin/env bash
# Saves the traffic history window after a scan over ports that fail each for
# its own reason into docs/screenshots/history-scan.png.
source "$(dirname "$0")/setup.sh"
screenshot tst_history scanWithEveryReason history-scan.png
