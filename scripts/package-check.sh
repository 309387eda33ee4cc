#!/usr/bin/env bash
# Builds the Debian package and checks what a desktop and a package manager see
# of it: the .desktop entry and the AppStream file validate without a warning,
# Depends names the Qt 6 and ALSA runtimes, and the extracted executables start.
# Usage: package-check.sh [BUILD_DIR]   (default: build, already configured)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
build=${1:-build}

fail() { echo "package-check: $*" >&2; exit 1; }

targets=(tesmora)
# The command-line front end, where this tree has it (any generator, any folder).
[ -n "$(find "$build" -name _CPack_Packages -prune -o -type d -name tesmora-cli.dir -print -quit)" ] &&
    targets+=(tesmora-cli)
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"
rm -f "$build"/tesmora_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/tesmora_*.deb)
echo "built $deb"

work=$(mktemp -d /tmp/tesmora-package.XXXXXX)
app=
cleanup() {
    [ -n "$app" ] && kill "$app" 2>/dev/null && wait "$app" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
dpkg-deb -x "$deb" "$work/root"
root=$work/root/usr
# The data files as packaged, not as written: the metainfo is generated.
desktop=$root/share/applications/org.tesmora.tesmora.desktop
[ -f "$desktop" ] || fail "no .desktop entry in the package"
out=$(desktop-file-validate "$desktop" 2>&1) || fail "desktop-file-validate: $out"
[ -z "$out" ] || fail "desktop-file-validate: $out"
meta=$root/share/metainfo/org.tesmora.tesmora.metainfo.xml
[ -f "$meta" ] || fail "no metainfo in the package"
# Any warning counts: appstreamcli exits 0 on warnings, so its report is read.
report=$(appstreamcli validate --no-net "$meta" 2>&1) || fail "appstreamcli: $report"
grep -qE '^[EW]:' <<<"$report" && fail "appstreamcli: $report"
# Every screenshot named there is one of docs/screenshots.
for shot in $(grep -o '[^/]*\.png</image>' "$meta" | sed 's#</image>##'); do
    [ -f "docs/screenshots/$shot" ] || fail "screenshot $shot is not in docs/screenshots"
done

for f in share/icons/hicolor/scalable/apps/org.tesmora.tesmora.svg share/man/man1/tesmora.1.gz; do
    [ -s "$root/$f" ] || fail "$f is not in the package"
done
# The man page reads without a warning from groff.
warnings=$(zcat "$root/share/man/man1/tesmora.1.gz" | groff -man -Tutf8 -ww -z 2>&1)
[ -z "$warnings" ] || fail "tesmora.1: $warnings"

# Depends as dpkg-shlibdeps computed it.
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for lib in libqt6core6 libqt6gui6 libqt6widgets6 libasound2; do
    grep -qE "(^|, )$lib( |,|$)" <<<"$depends" || fail "Depends does not name $lib"
done

# The extracted executables, with no display at all.
export LD_LIBRARY_PATH=
version=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$root/bin/tesmora" --version)
[[ $version == "tesmora 5.0"* ]] || fail "tesmora --version said: $version"
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$root/bin/tesmora" --help | grep -q -- --version ||
    fail "tesmora --help does not list --version"
if [ -x "$root/bin/tesmora-cli" ]; then
    cli=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$root/bin/tesmora-cli" --version)
    [ -n "$cli" ] || fail "tesmora-cli --version said nothing"
    [ -s "$root/share/man/man1/tesmora-cli.1.gz" ] || fail "no man page for tesmora-cli"
fi

# The window, offscreen, with its settings in the scratch folder: it must stay up.
TESMORA_SETTINGS_DIR=$work/settings TESMORA_PORT_DIR=$work/ports QT_QPA_PLATFORM=offscreen \
    "$root/bin/tesmora" &
app=$!
sleep 1.5
kill -0 "$app" 2>/dev/null || fail "the window did not stay up"
kill "$app"
wait "$app" 2>/dev/null || true
app=
echo "package-check: ok"
