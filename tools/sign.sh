#!/bin/sh
# Signs a built VELDRIAN.dll in place (Authenticode, SHA-256) with osslsigncode, from
# a PKCS#12 file holding the certificate and its private key.
# Usage: tools/sign.sh DLL PKCS12 PASSWORD-SOURCE [TIMESTAMP-URL]
#   PASSWORD-SOURCE  file:PATH  the password is what the file holds (less a final line feed)
#                    env:NAME   the password is the environment variable NAME
#   TIMESTAMP-URL    an RFC 3161 time-stamp authority; without it, no timestamp
# The password never appears on a command line (where the process list shows it):
# osslsigncode reads it from the file, or from a pipe that the shell's own printf fills.
# When signing fails, the DLL is removed, so that no unsigned DLL passes for a signed one
# and the next build links it again.
set -eu
[ $# -ge 3 ] && [ $# -le 4 ] || { echo "usage: $0 DLL PKCS12 file:PATH|env:NAME [TIMESTAMP-URL]" >&2; exit 2; }
dll=$1
pkcs12=$2
source=$3
url=${4:-}

signed="$dll.signing"
trap 'rm -f "$signed"' EXIT
fail() {
    echo "sign.sh: $*" >&2
    rm -f "$dll"
    exit 1
}

[ -r "$pkcs12" ] || fail "cannot read the PKCS#12 file $pkcs12"
set -- sign -pkcs12 "$pkcs12" -h sha256 -n VELDRIAN -in "$dll" -out "$signed"
[ -z "$url" ] || set -- "$@" -ts "$url"

case "$source" in
    file:?*)
        passfile=${source#file:}
        [ -r "$passfile" ] || fail "cannot read the password file $passfile"
        osslsigncode "$@" -readpass "$passfile" >/dev/null || fail "osslsigncode could not sign $dll"
        ;;
    env:?*)
        name=${source#env:}
        case "$name" in
            *[!A-Za-z0-9_]* | [0-9]*) fail "not an environment variable name: $name" ;;
        esac
        eval "set=\${$name+set}"
        [ -n "$set" ] || fail "the environment variable $name is not set"
        eval "printf '%s' \"\$$name\"" | osslsigncode "$@" -readpass /dev/stdin >/dev/null ||
            fail "osslsigncode could not sign $dll"
        ;;
    *) fail "the password source is file:PATH or env:NAME, not '$source'" ;;
esac
mv "$signed" "$dll"
echo "sign.sh: signed $dll"
