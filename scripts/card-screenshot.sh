#!/usr/bin/env bash
# Saves the card window after a whole-card read of the demo card, compared with
# a dump, into docs/screenshots/card-window.png.
source "$(dirname "$0")/setup.sh"
screenshot tst_cardwindow readSaveOpenCompare card-window.png
