#!/usr/bin/env bash
# A Debian chroot for interpreters pyenv cannot build here: Debian's own
# CPython packages, made with debootstrap from its default mirror.
#   ci/chroot.sh create [SUITE]        make build/chroot/SUITE (once; a stamp marks it done)
#   ci/chroot.sh run [SUITE] -- CMD    run CMD inside it, in this checkout, as root
#   ci/chroot.sh versions [SUITE]      print the interpreters it holds
# SUITE defaults to sid (CPython 3.14, 3.15 and the 3.14 debug build). The
# checkout is bound at its own path inside, so absolute paths agree on both
# sides. Every mount is made inside a private mount namespace of its own
# (unshare), so none outlives the command, whichever way it ends; the trap
# unmounts them in order on a normal exit as well.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cmd="${1:?usage: ci/chroot.sh create|run|versions [SUITE] [-- CMD...]}"
shift
suite=sid
if [[ $# -gt 0 && "$1" != "--" ]]; then
    suite="$1"
    shift
fi
[[ "${1:-}" == "--" ]] && shift
CHROOT="${CHROOT_DIR:-$ROOT/build/chroot}/$suite"
APT=(apt-get -o Acquire::Check-Valid-Until=false -o APT::Install-Recommends=false -qq -y)

# What each suite holds: the build tools and the interpreters it exists for.
packages() {
    local common=(ca-certificates g++ make cmake ninja-build patchelf binutils file valgrind)
    case "$1" in
    sid) echo "${common[@]}" python3.14 python3.14-dev python3.14-venv python3.14-dbg \
        python3.15 python3.15-dev python3.15-venv ;;
    bullseye) echo ca-certificates binutils file python3 ;;
    *) echo "${common[@]}" ;;
    esac
}

# Runs "$@" inside the chroot with /proc, /dev and the checkout bound in.
inside() {
    unshare --mount --propagation private -- bash -euo pipefail -c '
        chroot_dir="$1"; root="$2"; shift 2
        mounted=()
        cleanup() { for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[i]}" || true; done; }
        trap cleanup EXIT
        bind() { mkdir -p "$2"; mount --rbind "$1" "$2"; mounted+=("$2"); }
        bind /proc "$chroot_dir/proc"
        bind /dev "$chroot_dir/dev"
        bind "$root" "$chroot_dir$root"
        cp -f "${PIP_CERT:-/etc/ssl/certs/ca-certificates.crt}" "$chroot_dir/etc/ssl/certs/host-ca.crt"
        cd "$chroot_dir$root"
        env -i HOME=/root TERM=dumb LANG=C.UTF-8 PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
            PIP_CERT=/etc/ssl/certs/host-ca.crt SSL_CERT_FILE=/etc/ssl/certs/host-ca.crt \
            PIP_DISABLE_PIP_VERSION_CHECK=1 ${MAKEFLAGS:+MAKEFLAGS="$MAKEFLAGS"} \
            chroot "$chroot_dir" /bin/bash -c "cd \"\$0\" && exec \"\$@\"" "$root" "$@"
    ' chroot "$CHROOT" "$ROOT" "$@"
}

create() {
    if [[ -f "$CHROOT/.complete" ]]; then
        return 0
    fi
    command -v debootstrap >/dev/null || {
        apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
    }
    rm -rf "$CHROOT"
    mkdir -p "$CHROOT"
    echo "== debootstrap $suite into $CHROOT"
    debootstrap --variant=minbase "$suite" "$CHROOT" >"$CHROOT.debootstrap.log" 2>&1 || {
        tail -20 "$CHROOT.debootstrap.log"
        exit 1
    }
    mkdir -p "$CHROOT/etc/ssl/certs"
    # shellcheck disable=SC2046
    inside /bin/bash -c "export DEBIAN_FRONTEND=noninteractive; ${APT[*]} update && ${APT[*]} install $(packages "$suite") >/dev/null"
    touch "$CHROOT/.complete"
}

case "$cmd" in
create) create ;;
run)
    create
    inside "$@"
    ;;
versions)
    create
    inside /bin/bash -c 'for p in /usr/bin/python3.[0-9]* ; do case "$p" in *-config|*m) continue;; esac; [ -x "$p" ] && echo "$p: $("$p" -c "import sys; print(sys.version.split()[0], \"(Py_DEBUG)\" if hasattr(sys, \"gettotalrefcount\") else \"\")")"; done'
    ;;
*)
    echo "unknown command $cmd" >&2
    exit 2
    ;;
esac
