#!/usr/bin/env bash
# Builds the Debian packages (tesmora, tesmora-reader-emulator) and checks what a
# desktop and a package manager see of them: lintian finds no error, the
# .desktop entry and the AppStream file validate without a warning, the man
# pages render without one, Depends names the Qt 6, ALSA and OpenSSL runtimes and a
# Chinese font, and the extracted executables start, the demo reader included.
# Usage: package-check.sh [BUILD_DIR]   (default: build, already configured)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
build=${1:-build}

fail() { echo "package-check: $*" >&2; exit 1; }

targets=(tesmora tesmora-reader-emulator)
# The command-line front end, where this tree has it (any generator, any folder).
[ -n "$(find "$build" -name _CPack_Packages -prune -o -type d -name tesmora-cli.dir -print -quit)" ] &&
    targets+=(tesmora-cli)
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"
rm -f "$build"/tesmora_*.deb "$build"/tesmora-reader-emulator_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/tesmora_*.deb)
emudeb=$(ls "$build"/tesmora-reader-emulator_*.deb)
echo "built $deb $emudeb"

# lintian: no error, except the placeholder maintainer address of an unset
# TESMORA_MAINTAINER (in Maintainer and the changelog), and every executable
# hardened (bind-now, fortify: tags lintian only shows as information). The
# emulator is built fortified too, but calls no libc function whose checked
# variant applies, which lintian cannot tell from an unfortified build.
# The warnings are shown.
report=$(lintian --tag-display-limit 0 -I "$deb" "$emudeb" 2>&1 |
    grep -v 'running with root privileges' || true)
grep '^W:' <<<"$report" || true
errors=$(grep -E '^E:|hardening-no-' <<<"$report" |
    grep -vE '^E: [a-z-]+: bogus-mail-host Maintainer tesmora@localhost$' |
    grep -vE '^E: [a-z-]+: bogus-mail-host-in-debian-changelog tesmora@localhost ' |
    grep -vE '^I: tesmora-reader-emulator: hardening-no-fortify-functions ' || true)
[ -z "$errors" ] || fail "lintian: $errors"

work=$(mktemp -d /tmp/tesmora-package.XXXXXX)
app=
cleanup() {
    [ -n "$app" ] && kill "$app" 2>/dev/null && wait "$app" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
# Both packages in one tree, as installed together.
dpkg-deb -x "$deb" "$work/root"
dpkg-deb -x "$emudeb" "$work/root"
root=$work/root/usr
# The data files as packaged, not as written: the metainfo is generated.
desktop=$root/share/applications/org.tesmora.tesmora.desktop
[ -f "$desktop" ] || fail "no .desktop entry in the package"
out=$(desktop-file-validate "$desktop" 2>&1) || fail "desktop-file-validate: $out"
[ -z "$out" ] || fail "desktop-file-validate: $out"
# A Chinese-speaking user finds it in both scripts, named as the window's caption.
for lang in zh_CN zh_TW; do
    for key in Name Comment Keywords; do
        grep -q "^$key\[$lang\]=." "$desktop" || fail "the .desktop entry has no $key[$lang]"
    done
    name=$(sed -n "s/^Name\[$lang\]=//p" "$desktop")
    grep -q "\"$name V" src/catalog/catalog.h || fail "Name[$lang]=$name is not the window's caption"
done
meta=$root/share/metainfo/org.tesmora.tesmora.metainfo.xml
[ -f "$meta" ] || fail "no metainfo in the package"
# Any warning counts: appstreamcli exits 0 on warnings, so its report is read.
report=$(appstreamcli validate --no-net "$meta" 2>&1) || fail "appstreamcli: $report"
grep -qE '^[EW]:' <<<"$report" && fail "appstreamcli: $report"
for lang in zh_CN zh_TW; do
    for tag in name summary keyword; do
        grep -q "<$tag xml:lang=\"$lang\">" "$meta" || fail "the metainfo has no $tag in $lang"
    done
done
# Every screenshot named there is one of docs/screenshots.
for shot in $(grep -o '[^/]*\.png</image>' "$meta" | sed 's#</image>##'); do
    [ -f "docs/screenshots/$shot" ] || fail "screenshot $shot is not in docs/screenshots"
done

for f in share/icons/hicolor/scalable/apps/org.tesmora.tesmora.svg share/man/man1/tesmora.1.gz \
         share/icons/hicolor/{16x16,22x22,24x24,32x32,48x48,64x64,128x128,256x256}/apps/org.tesmora.tesmora.png \
         bin/tesmora-reader-emulator share/man/man1/tesmora-reader-emulator.1.gz \
         share/tesmora-reader-emulator/demo-keys.txt share/doc/tesmora/README.md.gz; do
    [ -s "$root/$f" ] || fail "$f is not in the packages"
done
# The window's and the tool's pages lead to the emulator's; the README is on
# the machine; the copyright file gives no Source, the project having no
# public location yet.
for page in tesmora tesmora-cli; do
    zcat "$root/share/man/man1/$page.1.gz" | sed -n '/^\.SH SEE ALSO/,$p' |
        grep -q 'tesmora\\-reader\\-emulator (1)' || fail "$page(1): SEE ALSO has no tesmora-reader-emulator(1)"
done
zcat "$root/share/doc/tesmora/README.md.gz" | grep -q '^## The badge desk' || fail "README.md.gz is not the README"
! grep -q '^Source:' "$root/share/doc/tesmora/copyright" || fail "copyright: Source is not the project's location"
# Every man page renders without a warning, from groff and from man where
# man-db is installed.
for page in "$root"/share/man/man*/*; do
    name=$(basename "$page" .gz)
    warnings=$(zcat -f "$page" | groff -man -Tutf8 -ww -z 2>&1)
    [ -z "$warnings" ] || fail "$name: $warnings"
    if command -v man >/dev/null; then
        warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
        [ -z "$warnings" ] || fail "$name (man): $warnings"
    fi
done

# Depends as dpkg-shlibdeps computed it.
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for lib in libqt6core6 libqt6gui6 libqt6widgets6 libasound2 libssl3 "fonts-wqy-microhei \| fonts-noto-cjk"; do
    grep -qE "(^|, )$lib( |,|$)" <<<"$depends" || fail "Depends does not name $lib"
done
recommends=$(dpkg-deb -f "$deb" Recommends)
for p in qt6-wayland tesmora-reader-emulator; do
    grep -qE "(^|, )$p( |,|$)" <<<"$recommends" || fail "Recommends does not name $p"
done
! dpkg-deb -f "$emudeb" Depends | grep -q qt6 || fail "the emulator's package depends on Qt"

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

# Trying it without a reader, as the README and the man pages say, from the
# packages: the demo reader on COM3 of a private folder, found by the scan the
# emulator prints, and by the same scan run through --run; the whole demo card
# read by the dump it prints, with the key file it names; the window started
# on it (offscreen) stays up. The demo keeps its settings to itself: the store
# named here is never written, though the scans --save.
export PATH=$root/bin:$PATH XDG_RUNTIME_DIR=$work/runtime TESMORA_SETTINGS_DIR=$work/settings
mkdir -m 700 "$XDG_RUNTIME_DIR"
found() { grep -qE '^COM3 .* type 4( |$)' <<<"$1" || fail "the demo reader was not found: $1"; }
out=$(tesmora-reader-emulator --demo --run tesmora-cli scan --port 3 --type 4 --save 2>&1) ||
    fail "--demo --run tesmora-cli scan: $out"
found "$out"
# Its own process group (set -m), so that it gets the Ctrl-C a script's
# background job would ignore.
set -m
tesmora-reader-emulator --demo >"$work/demo.out" 2>&1 &
app=$!
set +m
for _ in $(seq 50); do grep -q 'tesmora-cli scan' "$work/demo.out" && break; sleep 0.1; done
scan=$(grep -o 'TESMORA_PORT_DIR=.* tesmora-cli scan --port 3 --type 4' "$work/demo.out") ||
    fail "tesmora-reader-emulator --demo printed: $(cat "$work/demo.out")"
[[ $scan == "TESMORA_PORT_DIR=$XDG_RUNTIME_DIR/tesmora-demo "* ]] || fail "the demo's folder: $scan"
out=$(cd "$work" && eval "$scan --save" 2>&1) || fail "$scan: $out"
found "$out"
dump=$(grep -o 'TESMORA_PORT_DIR=.* tesmora-cli mifare dump .*' "$work/demo.out") ||
    fail "tesmora-reader-emulator --demo printed no dump: $(cat "$work/demo.out")"
[[ $dump == *" --keys $root/share/tesmora-reader-emulator/demo-keys.txt "* ]] ||
    fail "the dump does not name the packaged key file: $dump"
out=$(cd "$work" && eval "$dump" 2>&1) || fail "$dump: $out"
grep -q '^40 of 40 sectors opened' <<<"$out" || fail "the demo card was not read whole: $out"
kill -INT "$app"
(sleep 3 && kill -KILL "$app" 2>/dev/null) &
status=0
wait "$app" || status=$?
app=
[ $status -ne 137 ] || fail "tesmora-reader-emulator --demo did not end on Ctrl-C"
status=0
QT_QPA_PLATFORM=offscreen tesmora-reader-emulator --demo --run timeout 1.5 tesmora || status=$?
[ $status -eq 124 ] || fail "the window on the demo reader did not stay up (exit $status)"
[ ! -e "$TESMORA_SETTINGS_DIR" ] || fail "the demo wrote the store: $(ls -R "$TESMORA_SETTINGS_DIR")"
echo "package-check: ok"
