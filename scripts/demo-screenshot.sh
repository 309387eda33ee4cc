#!/usr/bin/env bash
# Runs the demo under Xvfb, presses Enter (which presses "Scan reader") and
# saves screenshots of the window before and after into docs/screenshots/.
set -euo pipefail
cd "$(dirname "$0")/.."
for p in xvfb xauth xdotool imagemagick; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
        { apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y "$p"; }
done
out=docs/screenshots
mkdir -p "$out"
xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
    bash scripts/demo.sh & demo=$!
    for _ in $(seq 100); do xdotool search --onlyvisible --name "Tesmora" >/dev/null 2>&1 && break; sleep 0.2; done
    sleep 1
    win=$(xdotool search --onlyvisible --name "Tesmora" | head -n1)
    import -window "$win" '"$out"'/demo-start.png
    # No window manager here: click "Scan reader" itself, below the menu bar.
    height=$(xdotool getwindowgeometry --shell "$win" | sed -n "s/^HEIGHT=//p")
    xdotool mousemove --window "$win" 162 $((height - 613 + 127)) click 1
    sleep 2
    import -window "$win" '"$out"'/demo-found.png
    kill $demo; wait $demo || true
'
echo "saved $out/demo-start.png and $out/demo-found.png"
