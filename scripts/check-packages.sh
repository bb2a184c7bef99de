#!/usr/bin/env bash
# Checks the packages that scripts/build-packages.sh made, each against its
# own Debian release:
# - with the release's tools (on this machine when it runs that release,
#   else inside the release's root, scripts/release-root.sh): lintian finds
#   no error or warning; pec-daemon holds the daemon, the unit (where the
#   release's systemd keeps units), the udev rules (where its udev keeps
#   rules), the .link file that names the card's Ethernet eth0 and the docs,
#   pec-decode the decoder and its man page, and nothing else; their
#   control fields name the package, the architecture, the package's
#   version with the release's suffix (1.1.2.1+deb13u1 on Debian 13) and the
#   dependencies, among them the release's yaml-cpp library, and pec-decode
#   takes its file over from the pec-daemon that held it (Replaces and
#   Breaks); both programs are built for the package's CPU; the rules pass
#   the release's udevadm verify (where it has one) and act only on a
#   recognised adapter and interface; the unit passes the release's
#   systemd-analyze verify, and its exposure (systemd-analyze security) is
#   printed;
# - installability: `apt-get install ./PACKAGE.deb` of each package alone
#   succeeds in a clean
#   minimal root of the release, unpacked fresh for each package from a
#   cached tarball, and the libraries the daemon needs are then present.
#   The arm64 package goes into an amd64 root with arm64 as a foreign
#   architecture: the libraries it needs are Multi-Arch: same and the
#   programs Multi-Arch: foreign, so apt resolves its dependencies against
#   the release's arm64 archive as it would on the card, without emulating
#   a CPU (the boot test installs it on a booted arm64 system as well).
#
#   scripts/check-packages.sh [OUT_DIR]        default: build-deb
#
# PEC_PACKAGE_RELEASES ("bookworm trixie") and PEC_PACKAGE_ARCHES ("amd64
# arm64") pick the packages, as for build-packages.sh. PEC_ROOT_CACHE
# (default /var/cache/pec-roots) holds the clean roots' tarballs.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
failures=0

fail() {
    echo "check-packages: $*" >&2
    failures=$((failures + 1))
}

# The package's version (the changelog's, with the release's suffix) is the
# version the daemon's banner names ("v1.1.2"), or a packaging revision of it
# (1.1.2.1).
daemon_version=$(sed -n 's/^const char\* const version = "v\(.*\)";$/\1/p' "$root/src/config.cpp")
package_version=$(dpkg-parsechangelog -l "$root/debian/changelog" -S Version)
[[ "$package_version" == "$daemon_version" || "$package_version" == "$daemon_version".[0-9]* ]] || {
    echo "check-packages: the package's version $package_version is not the daemon's $daemon_version" >&2
    exit 1
}
# The first version of pec-daemon without pec-decode.
decode_split=1.1.2.1~

# package_files DEB: the files (not folders) DEB holds, sorted.
package_files() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ { print $6 }' | LC_ALL=C sort; }

# check_fields DEB PACKAGE ARCH MACHINE PROGRAM: the fields every package
# has, and its program built for MACHINE.
check_fields() {
    local deb=$1 package=$2 arch=$3 machine=$4 program=$5 field
    field=$(dpkg-deb -f "$deb" Package)
    [[ "$field" == "$package" ]] || fail "$deb: Package is $field"
    field=$(dpkg-deb -f "$deb" Architecture)
    [[ "$field" == "$arch" ]] || fail "$deb: Architecture is $field, not $arch"
    field=$(dpkg-deb -f "$deb" Version)
    [[ "$field" == "$version" ]] || fail "$deb: Version $field, not $version (the daemon's $daemon_version, for $release)"
    local binary
    binary=$(mktemp)
    dpkg-deb --fsys-tarfile "$deb" | tar -xOf - "./$program" >"$binary"
    field=$(readelf -h "$binary" | sed -n 's/^ *Machine: *//p')
    rm -f "$binary"
    [[ "$field" == "$machine" ]] || fail "$deb: $program is built for $field, not $machine"
}

# check_package DEB ARCH MACHINE UNIT_DIR YAML_CPP: the checks of the
# daemon's package with this system's tools.
check_package() {
    local deb=$1 arch=$2 machine=$3 unit_dir=$4 yaml_cpp=$5
    local tree
    tree=$(mktemp -d)
    dpkg-deb -x "$deb" "$tree"
    dpkg-deb -e "$deb" "$tree/DEBIAN"

    # udev keeps its rules beside systemd's units (/lib or /usr/lib).
    local rules=${unit_dir%/systemd/system}/udev/rules.d/60-pec-daemon.rules
    local link=/usr/lib/systemd/network/50-pec-daemon-eth0.link
    local expected_files files
    expected_files=$(printf '%s\n' ".$unit_dir/pec-daemon.service" ".$rules" ".$link" ./usr/sbin/pec-daemon \
        ./usr/share/doc/pec-daemon/README.md.gz ./usr/share/doc/pec-daemon/changelog.gz \
        ./usr/share/doc/pec-daemon/copyright ./usr/share/lintian/overrides/pec-daemon \
        ./usr/share/man/man8/pec-daemon.8.gz | LC_ALL=C sort)
    files=$(package_files "$deb")
    [[ "$files" == "$expected_files" ]] ||
        fail "$deb holds other files than the daemon, the unit, the udev rules, the .link file and docs:
$(diff <(echo "$expected_files") <(echo "$files") || true)"

    check_fields "$deb" pec-daemon "$arch" "$machine" usr/sbin/pec-daemon
    local field
    field=$(dpkg-deb -f "$deb" Recommends)
    [[ "$field" == "netplan.io | network-manager | ifupdown" ]] || fail "$deb: Recommends is $field"
    field=$(dpkg-deb -f "$deb" Suggests)
    [[ "$field" == pec-decode ]] || fail "$deb: Suggests is $field, not pec-decode"
    # The libraries it links (from shlibdeps) and the programs it runs.
    local depends package
    depends=",$(dpkg-deb -f "$deb" Depends | tr -d ' '),"
    for package in libc6 libstdc++6 "$yaml_cpp" bash util-linux procps hostname systemd udev; do
        [[ "$depends" == *",$package,"* || "$depends" == *",$package("* ]] ||
            fail "$deb: Depends lacks $package: $depends"
    done
    grep -q 'deb-systemd-helper enable .pec-daemon.service' "$tree/DEBIAN/postinst" ||
        fail "$deb: its postinst does not enable pec-daemon.service"
    check_rules "$deb" "$tree$rules"
    grep -qx 'Property=PEC_ETHERNET=1' "$tree$link" && grep -qx 'Name=eth0' "$tree$link" &&
        ! grep -q '^NamePolicy=' "$tree$link" ||
        fail "$deb: $link does not name the marked interface, and it alone, eth0"

    # verify reports problems on its output (an unknown key only warns), and
    # needs the system's units, the daemon and the programs the unit runs in
    # one root.
    mkdir -p "$tree$unit_dir" "$tree/usr/bin"
    cp -rn "$unit_dir/." "$tree$unit_dir/"
    cp "$(command -v udevadm)" "$tree/usr/bin/udevadm"
    local verify
    if ! verify=$(systemd-analyze verify --man=no --root="$tree" pec-daemon.service 2>&1) ||
        [[ -n "$verify" ]]; then
        fail "$deb: systemd-analyze verify: $verify"
    fi
    grep -qx 'ConditionPathExists=/dev/pec-bmc-i2c' "$tree$unit_dir/pec-daemon.service" ||
        fail "$deb: the unit's condition is not the recognised bus node"
    rm -rf "$tree"
}

# check_rules DEB RULES: the rules pass the release's udevadm verify (254 and
# later, Debian 13; Debian 12's udevadm has none), and every line that acts
# (loads a module, names a node, wants the service) is one for a device the
# rules recognised, PEC_BMC_BUS=1: nothing acts on a plain i2c-0.
check_rules() {
    local deb=$1 rules=$2 udev_verify acting
    if udevadm verify --help >/dev/null 2>&1; then
        udev_verify=$(udevadm verify --resolve-names=never "$rules" 2>&1) ||
            fail "$deb: udevadm verify: $udev_verify"
        echo "check-packages: ${deb##*/}: udevadm verify: ${udev_verify##*$'\n'}"
    else
        echo "check-packages: ${deb##*/}: this release's udevadm has no verify"
    fi
    acting=$(sed -e :a -e '/\\$/N; s/\\\n//; ta' "$rules" | grep -v '^#' | grep -E 'RUN|SYMLINK|SYSTEMD_WANTS')
    [[ $(grep -c . <<<"$acting") -eq 2 ]] && ! grep -qv 'ENV{PEC_BMC_BUS}=="1"' <<<"$acting" ||
        fail "$deb: a rule acts on an adapter that is not recognised: $acting"
}

# check_decode DEB ARCH MACHINE: the decoder's own package: the program and
# its man page, nothing of the daemon, no dependency on it, and the file
# taken over from the pec-daemon that held it.
check_decode() {
    local deb=$1 arch=$2 machine=$3 expected_files files field
    expected_files=$(printf '%s\n' ./usr/bin/pec-decode ./usr/share/doc/pec-decode/changelog.gz \
        ./usr/share/doc/pec-decode/copyright ./usr/share/man/man1/pec-decode.1.gz | LC_ALL=C sort)
    files=$(package_files "$deb")
    [[ "$files" == "$expected_files" ]] ||
        fail "$deb holds other files than the decoder and its docs:
$(diff <(echo "$expected_files") <(echo "$files") || true)"
    check_fields "$deb" pec-decode "$arch" "$machine" usr/bin/pec-decode
    [[ "$(dpkg-deb -f "$deb" Depends)" != *pec-daemon* ]] || fail "$deb depends on the daemon"
    for field in Replaces Breaks; do
        [[ "$(dpkg-deb -f "$deb" "$field")" == "pec-daemon (<< $decode_split)" ]] ||
            fail "$deb: $field is not pec-daemon (<< $decode_split)"
    done
}

# check_here DIR ARCH...: the checks with the tools of the release this runs
# on, of its packages in DIR.
check_here() {
    local dir=$1
    shift
    "$root/scripts/install-deps.sh" lintian systemd udev binutils >/dev/null
    local id version_id arch machine
    release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    id=$(. /etc/os-release && echo "${ID:-}")
    version_id=$(. /etc/os-release && echo "${VERSION_ID:-}")
    [[ "$id" == debian && "$version_id" =~ ^[0-9]+$ ]] ||
        { fail "packages are checked on numbered Debian releases, not $id ${version_id:-(unnumbered)}"; return 1; }
    version="$package_version+deb${version_id}u1"
    # Where the release's systemd keeps its units (/lib/systemd/system on
    # Debian 12, /usr/lib/systemd/system on 13), and the yaml-cpp library
    # package its libyaml-cpp-dev links to (libyaml-cpp0.7, 0.8).
    local unit_dir yaml_cpp
    unit_dir=$(dirname "$(dpkg-query -L systemd | grep -m 1 '/systemd/system/systemd-journald.service$')")
    yaml_cpp=$(dpkg-query -W -f '${Depends}' libyaml-cpp-dev | grep -o 'libyaml-cpp[0-9][^ ,(]*' | head -n 1)
    [[ "$unit_dir" == */systemd/system && -n "$yaml_cpp" ]] ||
        { fail "no unit directory ($unit_dir) or yaml-cpp library ($yaml_cpp) found for $release"; return 1; }

    local changes=()
    for arch in "$@"; do
        changes+=("$dir/pec-daemon_${version}_$arch.changes")
    done
    echo "check-packages: lintian $(dpkg-query -W -f '${Version}' lintian) ($release): ${changes[*]##*/}"
    lintian --fail-on error,warning "${changes[@]}" || fail "lintian ($release)"
    for arch in "$@"; do
        case $arch in
        amd64) machine="Advanced Micro Devices X86-64" ;;
        arm64) machine="AArch64" ;;
        *) fail "no machine known for $arch"; continue ;;
        esac
        local deb="$dir/pec-daemon_${version}_$arch.deb" decode="$dir/pec-decode_${version}_$arch.deb"
        echo "check-packages: ${deb##*/}, ${decode##*/}: contents, fields, rules, unit ($release)"
        if [[ -f "$deb" && -f "$decode" ]]; then
            check_package "$deb" "$arch" "$machine" "$unit_dir" "$yaml_cpp"
            check_decode "$decode" "$arch" "$machine"
        else
            fail "$deb or $decode is missing"
        fi
    done
    systemd-analyze security --offline=true "$root/debian/pec-daemon.service" | tail -n 1
    return $((failures > 0))
}

if [[ "${1:-}" == --here ]]; then
    shift
    check_here "$@"
    exit
fi

out=$(cd "${1:-$root/build-deb}" && pwd)
releases=${PEC_PACKAGE_RELEASES:-bookworm trixie}
arches=${PEC_PACKAGE_ARCHES:-amd64 arm64}
host_release=$(. /etc/os-release && echo "${ID:-}:${VERSION_CODENAME:-}")
cache=${PEC_ROOT_CACHE:-/var/cache/pec-roots}

extra=(mmdebstrap)
if [[ "${PEC_PACKAGE_ARM64_INSTALL:-}" == install ]]; then
    extra+=(qemu-user-static binfmt-support arch-test)
fi
"$root/scripts/install-deps.sh" "${extra[@]}" >/dev/null
# The archive this machine's apt uses.
. "$root/scripts/debian-mirrors.sh"

# clean_root RELEASE ARCHES: the tarball of a minimal root of the release
# (apt and what it needs, nothing of this project) for ARCHES ("amd64,arm64":
# amd64 with arm64 as a foreign architecture), with its package lists; made
# once, kept in the cache.
clean_root() {
    local release=$1 arches=$2
    local tarball="$cache/clean-$release-${arches//,/-}.tar"
    local options=(--variant=apt --mode=root --format=tar "--architectures=$arches"
        --skip=cleanup/apt/lists --aptopt='Acquire::Retries "3"' "${debian_apt_options[@]}"
        --dpkgopt=force-unsafe-io --dpkgopt='path-exclude=/usr/share/man/*'
        --dpkgopt='path-exclude=/usr/share/locale/*')
    local sources
    mapfile -t sources < <(debian_sources "$release")
    local key
    key=$(echo "$release ${options[*]} ${sources[*]}" | sha256sum | cut -c1-16)
    mkdir -p "$cache"
    (
        flock 9
        if [[ ! -f "$tarball" || "$(cat "$tarball.key" 2>/dev/null)" != "$key" ]]; then
            echo "check-packages: making a clean root of $release ($arches)" >&2
            rm -f "$tarball" "$tarball.key"
            mmdebstrap "${options[@]}" "$release" "$tarball.new" "${sources[@]}" >"$tarball.log" 2>&1 ||
                { tail -n 30 "$tarball.log" >&2; exit 1; }
            mv "$tarball.new" "$tarball"
            echo "$key" >"$tarball.key"
        fi
    ) 9>"$tarball.lock"
    echo "$tarball"
}

# The script run in the fresh root (as bash -c SCRIPT check-install DIR
# ARCHIVES DEB ARCH MODE NEEDED DECODE): the mounts a package install needs,
# the release's current package lists, then the install (MODE "install") and
# its outcome: the decoder's package DECODE installed alone, without the
# daemon, and its program running; then the daemon's package DEB installed,
# its unit enabled, every library the daemon needs (NEEDED) present; or
# (MODE "resolve") apt's answer, for an empty system of ARCH, whether both
# packages and all they depend on can be installed.
install_script='
    dir=$1 archives=$2 deb=$3 arch=$4 mode=$5 needed=$6 decode=$7
    mount --rbind /dev "$dir/dev"
    mount -t proc proc "$dir/proc"
    mount -t tmpfs -o mode=1777 tmpfs "$dir/tmp"
    mount -t tmpfs -o mode=0755 tmpfs "$dir/run"
    mount --bind "$archives" "$dir/var/cache/apt/archives"
    cp -L /etc/resolv.conf "$dir/etc/resolv.conf" 2>/dev/null || true
    run() { chroot "$dir" env DEBIAN_FRONTEND=noninteractive "$@"; }
    native=$(run dpkg --print-architecture)
    if [[ "$arch" == "$native" ]]; then
        for foreign in $(run dpkg --print-foreign-architectures); do
            run dpkg --remove-architecture "$foreign"
        done
    fi
    run apt-get -qq update
    # Each of the recommended managers is a package of the release.
    for manager in netplan.io network-manager ifupdown; do
        run apt-cache show "$manager:$arch" >/dev/null || { echo "$manager:$arch is unknown"; exit 1; }
    done
    if [[ "$mode" == resolve ]]; then
        touch "$dir/tmp/status"
        run apt-get install -s --no-install-recommends -o APT::Architecture="$arch" \
            -o APT::Architectures::="$arch" -o Dir::State::status=/tmp/status \
            -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache= "/root/$deb" "/root/$decode" >"$dir/tmp/resolve"
        echo "resolved: $(grep -c "^Inst " "$dir/tmp/resolve") packages for an empty $arch system," \
            "$(sed -n "s/^Inst \(libyaml-cpp[^ ]*\|pec-daemon\|pec-decode\) (\([^ ]*\) .*/\1 \2/p" "$dir/tmp/resolve" | paste -sd " ")"
        grep -q "^Inst pec-daemon " "$dir/tmp/resolve" && grep -q "^Inst pec-decode " "$dir/tmp/resolve"
        exit 0
    fi
    # The decoder alone first, as on a workstation: nothing of the daemon
    # comes with it.
    run apt-get install -y --no-install-recommends "/root/$decode"
    echo "installed alone: $(run dpkg-query -W -f "\${Package} \${Status} \${Version}" pec-decode)"
    [[ "$(run dpkg-query -W -f "\${Status}" pec-daemon 2>/dev/null)" != "install ok installed" ]]
    run pec-decode --help >/dev/null
    run apt-get install -y --no-install-recommends "/root/$deb"
    status=$(run dpkg-query -W -f "\${Status} \${Version}" pec-daemon)
    echo "installed: $status"
    [[ "$status" == "install ok installed "* ]]
    [[ "$(run systemctl is-enabled pec-daemon.service)" == enabled ]]
    case $arch in
    amd64) multiarch=x86_64-linux-gnu ;;
    arm64) multiarch=aarch64-linux-gnu ;;
    esac
    for library in $needed; do
        [[ -e "$dir/usr/lib/$multiarch/$library" || -e "$dir/lib/$multiarch/$library" ]] ||
            { echo "$library is not installed"; exit 1; }
    done
'

# check_install RELEASE ARCH: the release's package for ARCH in a fresh copy
# of a clean root of the release. The amd64 one is installed. The arm64 one
# (PEC_PACKAGE_ARM64_INSTALL):
# - "resolve" (default): apt of the release resolves it for an empty arm64
#   system against the release's arm64 archive (--simulate). An amd64 root
#   with arm64 as a foreign architecture cannot install it: hostname is not
#   Multi-Arch: foreign, so hostname:arm64 would have to replace the
#   system's hostname. Its maintainer scripts and file list are those of the
#   amd64 package, which is installed for real; so the dependencies are what
#   is left to check, and the boot test installs the package on a booted
#   arm64 system of each release.
# - "install": installed for real in a clean arm64 root under qemu-user
#   (about 3 minutes to make the root, 2 to install, per release).
check_install() {
    local release=$1 arch=$2
    local mode=install arches=$arch
    if [[ "$arch" != amd64 ]]; then
        mode=${PEC_PACKAGE_ARM64_INSTALL:-resolve}
        [[ "$mode" == install ]] || arches=amd64,$arch
    else
        arches=amd64,arm64
    fi
    local tarball dir version_id deb decode
    tarball=$(clean_root "$release" "$arches")
    dir=$(mktemp -d /var/tmp/pec-install-check.XXXXXX)
    tar -C "$dir" -xf "$tarball"
    version_id=$(sed -n 's/^VERSION_ID="\?\([^"]*\)"\?$/\1/p' "$dir/usr/lib/os-release")
    deb="$out/pec-daemon_${package_version}+deb${version_id}u1_$arch.deb"
    decode="${deb/pec-daemon_/pec-decode_}"
    if [[ ! -f "$deb" || ! -f "$decode" ]]; then
        fail "$deb or $decode is missing"
        rm -rf "$dir"
        return
    fi
    echo "check-packages: ${decode##*/}, then ${deb##*/}, on a clean $release root ($mode)"
    cp "$deb" "$decode" "$dir/root/"
    if [[ "$mode" == resolve ]]; then
        local amd64_deb="${deb%_"$arch".deb}_amd64.deb" script
        for script in preinst postinst prerm postrm; do
            [[ ! -f "$amd64_deb" ]] ||
                cmp -s <(dpkg-deb -I "$deb" "$script" 2>/dev/null) <(dpkg-deb -I "$amd64_deb" "$script" 2>/dev/null) ||
                fail "${deb##*/}: its $script differs from the amd64 package's"
        done
    fi
    if [[ "$mode" == install && "$arch" != amd64 ]]; then
        # binfmt_misc starts the emulator by its path in the root, unless
        # the kernel holds it open (flag F).
        local binfmt=/proc/sys/fs/binfmt_misc/qemu-aarch64 interpreter
        if [[ -f "$binfmt" ]] && ! grep -q '^flags:.*F' "$binfmt"; then
            interpreter=$(sed -n 's/^interpreter //p' "$binfmt")
            install -D "$(readlink -f "$interpreter")" "$dir$interpreter"
        fi
    fi
    # The downloads are kept between checks of the release.
    local archives="$cache/${tarball##*/}"
    archives="${archives%.tar}.archives"
    mkdir -p "$archives/partial"
    local needed
    dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./usr/sbin/pec-daemon >"$dir.daemon"
    needed=$(readelf -d "$dir.daemon" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
    rm "$dir.daemon"
    local log="$dir.log"
    if unshare --mount --propagation private -- bash -euo pipefail -c "$install_script" check-install \
        "$dir" "$archives" "${deb##*/}" "$arch" "$mode" "$needed" "${decode##*/}" >"$log" 2>&1; then
        grep '^installed\|^resolved:' "$log" || true
    else
        tail -n 30 "$log" >&2
        fail "${deb##*/} does not install on a clean $release root"
    fi
    rm -rf "$dir" "$log"
}

# The release's own checks see OUT_DIR at the same path: it is in the tree
# (which a release's root sees), or copied there.
for release in $releases; do
    start=$SECONDS
    if [[ "$host_release" == "debian:$release" ]]; then
        echo "check-packages: $release packages, with this machine's tools"
        # shellcheck disable=SC2086 # a list of architectures
        check_here "$out" $arches || true
    else
        echo "check-packages: $release packages, with the tools of its root"
        dir=$out
        if [[ "$out/" != "$root/"* ]]; then
            dir="$root/build-packages.tmp/check-$release"
            rm -rf "$dir" && mkdir -p "$dir"
            cp "$out"/pec-daemon*_*.deb "$out"/pec-decode*_*.deb "$out"/pec-daemon_*.changes "$out"/pec-daemon_*.buildinfo "$dir/"
        fi
        # shellcheck disable=SC2086 # a list of architectures
        "$root/scripts/in-release-root.sh" "$release" "$root/scripts/check-packages.sh" --here "$dir" $arches ||
            fail "the checks of the $release packages"
        [[ "$dir" == "$out" ]] || rm -rf "$dir"
    fi
    echo "check-packages: $release checked in $((SECONDS - start)) s"
done

for release in $releases; do
    start=$SECONDS
    for arch in $arches; do
        check_install "$release" "$arch"
    done
    echo "check-packages: $release installs checked in $((SECONDS - start)) s"
done

if [[ $failures -gt 0 ]]; then
    echo "check-packages: $failures checks failed" >&2
    exit 1
fi
echo "check-packages: all packages pass"
