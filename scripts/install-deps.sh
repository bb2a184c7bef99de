#!/usr/bin/env bash
# Installs every package the build, the tests and the bench need, on Debian
# or Ubuntu. Safe to run again: when everything is present it only checks.
# Packages named as arguments are installed too (the cross-build and the
# packaging scripts name theirs).
set -euo pipefail

packages=(
    # build
    g++ cmake make git pkg-config libyaml-cpp-dev
    # unit and system tests, static analysis
    googletest libgtest-dev libgmock-dev clang-tidy
    # fuzz targets (libFuzzer; its runtime is added below, for the release's clang)
    clang
    # host tools the daemon runs and the tests validate its files with
    iproute2 util-linux procps dbus
    netplan.io network-manager ifupdown isc-dhcp-client
    "$@"
)

if [[ $(id -u) -ne 0 ]]; then
    sudo_cmd=(sudo)
else
    sudo_cmd=()
fi
updated=0

# install PACKAGE...: installs those of them that are missing. Another
# install running at the same time (CI runs stages side by side) is waited for.
install() {
    local package status missing=()
    for package in "$@"; do
        status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
        [[ "$status" == "install ok installed" ]] || missing+=("$package")
    done
    ((${#missing[@]})) || return 0
    echo "install-deps: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    if ((!updated)); then
        "${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=600 update -qq
        updated=1
    fi
    "${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"
}

install "${packages[@]}"
# libFuzzer's runtime is packaged per clang version: the one of the clang the
# release ships (14 on Debian 12, 19 on Debian 13, 18 on Ubuntu 24.04).
clang_major=$(clang --version | sed -n 's/.*clang version \([0-9]*\).*/\1/p' | head -n 1)
install "libclang-rt-$clang_major-dev"
((updated)) || echo "install-deps: all $((${#packages[@]} + 1)) packages present"
