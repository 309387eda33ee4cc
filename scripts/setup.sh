# Sourced by the demo and test commands: installs what is missing and builds.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

PACKAGES=(cmake make ninja-build g++ pkg-config qt6-base-dev libgl-dev libasound2-dev ser2net
          # TLS for the network ports; the tests make their certificates with openssl
          libssl-dev openssl
          fonts-wqy-microhei fonts-liberation fonts-dejavu-core clang-format xvfb xauth
          x11-utils
          # the Debian package and its checks (scripts/package-check.sh)
          dpkg-dev file desktop-file-utils appstream groff-base lintian
          # the Ansible module's playbook test (tests/ansible)
          ansible-core)
# A script may ask for more before sourcing this (scripts/fuzz.sh: clang and libFuzzer).
PACKAGES+=(${EXTRA_PACKAGES[@]+"${EXTRA_PACKAGES[@]}"})

missing=()
for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update
    apt-get install -y "${missing[@]}"
fi

configure() { # configure DIR [cmake options...]
    local dir=$1; shift
    # Ninja for a new build folder (it keeps both cores busier than make); a
    # folder configured before keeps the generator it has.
    local generator=()
    [ -f "$dir/CMakeCache.txt" ] || generator=(-G Ninja)
    cmake -S . -B "$dir" "${generator[@]}" "$@" >/dev/null
}

screenshot() { # screenshot TEST FUNCTION FILE: a test saves FILE into docs/screenshots
    local out=docs/screenshots
    configure build
    cmake --build build -j"$(nproc)" --target "$1" tesmora-reader-emulator
    mkdir -p "$out"
    TESMORA_SCREENSHOT_DIR="$PWD/$out" QT_QPA_PLATFORM=offscreen "build/tests/$1" "$2"
    echo "saved $out/$3"
}
