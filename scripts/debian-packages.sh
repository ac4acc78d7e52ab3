# Sourced by the scripts that install what they need on a fresh Debian machine.

# debian_packages WHO [--root DIR] PACKAGE...: installs those of PACKAGE that are
# missing, on this machine or inside the Debian root DIR, saying so as WHO.
debian_packages() {
    local who=$1 root= missing=() p
    shift
    if [ "${1:-}" = --root ]; then root=$2; shift 2; fi
    for p in "$@"; do
        dpkg-query ${root:+--admindir="$root/var/lib/dpkg"} -W -f='${Status}' "$p" 2>/dev/null |
            grep -q "ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "$who: installing Debian packages${root:+ into $root}: ${missing[*]}" >&2
    local log; log=$(mktemp)
    local install="apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q ${missing[*]}"
    if [ -n "$root" ]; then
        # A testing root's release file may be older than its validity allows.
        cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
        chroot "$root" sh -c "${install/apt-get update/apt-get -o Acquire::Check-Valid-Until=false update}" >"$log" 2>&1
    else
        sh -c "$install" >"$log" 2>&1
    fi && { rm -f "$log"; return 0; }
    echo "$who: installing ${missing[*]} failed; apt's last lines:" >&2
    tail -n 15 "$log" >&2
    rm -f "$log"
    return 1
}
