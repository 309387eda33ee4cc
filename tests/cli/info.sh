#!/bin/sh
# tesmora --version and --help answer and exit 0 without any display: they are
# decided before the application object, which would need one. Without a
# display, or with one that cannot be reached, the window says so plainly,
# points to tesmora-cli and exits 1 (not Qt's abort with advice to reinstall).
set -eu
exe=$1
version=$2
out=$("$exe" --version)
test "$out" = "tesmora $version" || { echo "--version said: $out"; exit 1; }
out=$("$exe" --help)
case $out in
*--version*) ;;
*) echo "--help said: $out"; exit 1 ;;
esac

nodisplay() { # nodisplay WHY [VAR=VALUE...]: start the window, expect the message
    why=$1; shift
    status=0
    err=$(env "$@" "$exe" 2>&1 >/dev/null) || status=$?
    test $status -eq 1 || { echo "$*: exit $status, said: $err"; exit 1; }
    test "$err" = "tesmora: no display found: $why.
The window needs a graphical session; tesmora-cli works without one (tesmora-cli --help)." ||
        { echo "$*: said: $err"; exit 1; }
}
nodisplay "neither DISPLAY nor WAYLAND_DISPLAY is set"
nodisplay "cannot connect to DISPLAY=:97" DISPLAY=:97
