#!/bin/sh
# tesmora --version and --help answer and exit 0 without any display: they are
# decided before the application object, which would need one.
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
