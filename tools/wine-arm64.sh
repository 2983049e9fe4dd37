#!/bin/sh
# ARM64 Wine for the ARM64 DLL's tests: Debian's wine64:arm64 and the few arm64
# libraries it needs, run under qemu's user-mode emulator, all unpacked (never
# installed) into the project's cache, .cache/wine-arm64. It names the loader for
# ARM64 as tools/wine.sh does for x64.
#   wine-arm64.sh PROGRAM [ARGS]   runs a Windows program (ARM64, or Wine's own) under it
#   wine-arm64.sh --server ARGS    its wineserver (-k, -w, -p60 ...)
#   wine-arm64.sh --prepare        fetches and unpacks it, once (tools/install-deps.sh arm64)
# Its prefixes are made by tools/wineprefix.sh DIR arm64.
# The only changes outside the cache are dpkg's arm64 architecture entry and apt's
# package lists; binfmt_misc is not needed.
set -eu
root=${VELDRIAN_WINE_ARM64_ROOT:-$(cd "$(dirname "$0")/.." && pwd)/.cache/wine-arm64}
qemu="$root/usr/bin/qemu-aarch64-static"
# Wine's own packages and what its loader and builtins link against; libudev and
# libusb keep its USB driver from failing at every start. (Not FreeType: with it,
# Wine's desktop process fails under qemu and is started again and again; without
# it Wine only says once per process that it has no fonts.)
packages="libwine:arm64 wine64:arm64 libc6:arm64 libgcc-s1:arm64 libunwind8:arm64 liblzma5:arm64 libudev1:arm64 libusb-1.0-0:arm64"

# The marker holds the root's path: the wrappers below name it, so a cache copied or
# moved elsewhere is prepared again.
prepared() {
    [ "$(cat "$root/.prepared" 2>/dev/null)" = "$root" ]
}

prepare() {
    if prepared; then
        return 0
    fi
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO=sudo
    if ! dpkg --print-foreign-architectures | grep -qx arm64; then
        echo "wine-arm64: adding the arm64 architecture to dpkg (package lists only; nothing arm64 is installed)" >&2
        $SUDO dpkg --add-architecture arm64
    fi
    if ! ls /var/lib/apt/lists/*_binary-arm64_Packages* >/dev/null 2>&1; then
        echo "wine-arm64: updating the package lists (with arm64)" >&2
        $SUDO apt-get update -qq >&2
    fi
    echo "wine-arm64: fetching into $root: $packages qemu-user-static (about 90 MB of packages)" >&2
    rm -rf "$root"
    mkdir -p "$root/debs"
    # apt's sandbox user cannot write into the cache: fetch as the caller.
    # shellcheck disable=SC2086
    if ! (cd "$root/debs" && apt-get -q -o APT::Sandbox::User=root download $packages qemu-user-static >&2); then
        # Lists older than the archive name versions it no longer has.
        echo "wine-arm64: updating the package lists and fetching again" >&2
        $SUDO apt-get update -qq >&2
        (cd "$root/debs" && apt-get -q -o APT::Sandbox::User=root download $packages qemu-user-static >&2)
    fi
    for deb in "$root"/debs/*.deb; do
        case "$deb" in
            # Of qemu, only the ARM64 emulator.
            */qemu-user-static_*) dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$root" ./usr/bin/qemu-aarch64-static ;;
            *) dpkg-deb -x "$deb" "$root" ;;
        esac
    done
    rm -rf "$root/debs"
    # Wine runs its preloader first for every new process, and starts its server
    # through the script beside the loader: both run ARM64 code, so both go
    # through qemu, with the root as the ARM64 programs' file system prefix.
    cat >"$root/usr/lib/wine/wine64-preloader" <<EOF
#!/bin/sh
export QEMU_LD_PREFIX="$root"
exec "$qemu" "\$@"
EOF
    cat >"$root/usr/lib/wine/wineserver" <<EOF
#!/bin/sh
export QEMU_LD_PREFIX="$root"
exec "$qemu" "$root/usr/lib/wine/wineserver64" "\$@"
EOF
    chmod +x "$root/usr/lib/wine/wine64-preloader" "$root/usr/lib/wine/wineserver"
    echo "wine-arm64: ready ($(du -sm "$root" | cut -f1) MB in $root)" >&2
    echo "$root" >"$root/.prepared"
}

case "${1:-}" in
    --prepare) prepare ;;
    "")
        echo "usage: wine-arm64.sh PROGRAM [ARGS] | --server ARGS | --prepare" >&2
        exit 2
        ;;
    *)
        if ! prepared; then
            echo "wine-arm64: ARM64 Wine is not prepared; run: sh tools/install-deps.sh arm64" >&2
            exit 1
        fi
        export QEMU_LD_PREFIX="$root"
        export WINESERVER="$root/usr/lib/wine/wineserver"
        if [ "$1" = --server ]; then
            shift
            exec "$root/usr/lib/wine/wineserver" "$@"
        fi
        exec "$qemu" "$root/usr/lib/wine/wine64" "$@"
        ;;
esac
