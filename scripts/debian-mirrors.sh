# Sourced by the scripts that make Debian roots and sysroots (release roots,
# clean roots, arm64 sysroots, the boot test's roots): the archive they
# download from is the one this machine's apt already uses, so that they work
# behind a company mirror or proxy as well as on a machine with Debian's own.
#
#   debian_mirror            the archive's URI (the site that serves this
#                            machine's own release, "main")
#   debian_security_mirror   the URI of its security updates
#   debian_sources RELEASE   the three one-line sources of RELEASE: the
#                            release, its -updates and its -security
#
#   debian_apt_options       mmdebstrap options that carry this machine's apt
#                            proxy (Acquire::http::Proxy) into the root's apt
#
# PEC_DEBIAN_MIRROR and PEC_DEBIAN_SECURITY_MIRROR name them instead.

# debian_site SUFFIX: the site of the first index target of this machine
# whose release is its own codename followed by SUFFIX ("" or "-security").
debian_site() {
    local codename suffix=$1
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    apt-get indextargets --format '$(SITE) $(RELEASE) $(COMPONENT)' 2>/dev/null |
        awk -v want="$codename$suffix" '$2 == want && $3 == "main" { print $1; exit }'
}

debian_mirror=${PEC_DEBIAN_MIRROR:-$(debian_site "")}
debian_security_mirror=${PEC_DEBIAN_SECURITY_MIRROR:-$(debian_site -security)}
if [[ -z "$debian_mirror" ]]; then
    echo "no Debian archive found in this machine's apt sources (run apt-get update, or set PEC_DEBIAN_MIRROR)" >&2
    exit 2
fi
# A machine without security sources (a local mirror of the archive alone)
# makes roots without them.
debian_sources() {
    echo "deb $debian_mirror $1 main"
    echo "deb $debian_mirror $1-updates main"
    [[ -z "$debian_security_mirror" ]] || echo "deb $debian_security_mirror $1-security main"
}
debian_apt_options=()
debian_http_proxy=""
eval "$(apt-config shell debian_http_proxy Acquire::http::Proxy)"
[[ -z "$debian_http_proxy" ]] || debian_apt_options+=("--aptopt=Acquire::http::Proxy \"$debian_http_proxy\"")
