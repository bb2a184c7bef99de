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
    # fuzz targets (libFuzzer)
    clang libclang-rt-14-dev
    # host tools the daemon runs and the tests validate its files with
    iproute2 util-linux procps dbus
    netplan.io network-manager ifupdown isc-dhcp-client
    "$@"
)

missing=()
for package in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$package")
done

if [[ ${#missing[@]} -eq 0 ]]; then
    echo "install-deps: all ${#packages[@]} packages present"
    exit 0
fi

if [[ $(id -u) -ne 0 ]]; then
    sudo_cmd=(sudo)
else
    sudo_cmd=()
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
