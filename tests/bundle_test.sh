#!/bin/sh
# The release as a package author gets it, made by tools/release.sh three times in one
# folder: with a certificate that does not exist (it fails), signed with a throwaway
# certificate (both DLLs and veldrian-trace.exe verify), then plain (it succeeds, and
# nothing in it is signed: no setting of the earlier runs is kept). The plain bundle,
# unpacked, holds exactly the documented files, their sums hold, each DLL is the one
# its tree built and of its architecture, the module checks pass on each, and a
# package made from the fragment and the two DLLs passes veldrian-install --check.
# Usage: bundle_test.sh SOURCE-DIR WORK-DIR MODULE-TEST RESOURCE-TEST HOST WINE
set -eu
source_dir=$1
work=$2
module_test=$3
resource_test=$4
host=$5
wine=$6

rm -rf "$work"
mkdir -p "$work"
cd "$work"
release() {
    sh "$source_dir/tools/release.sh" --build "$work/release" "$@" >release.log 2>&1
}
unpack() {  # the one zip of the last release, unpacked into FOLDER; prints the bundle's folder
    rm -rf "$1"
    mkdir "$1"
    (cd "$1" && cmake -E tar xf "$work"/release/VELDRIAN-*.zip)
    echo "$work/$1/$(ls "$1")"
}
machine() {  # the COFF machine field of a PE file, in hex
    offset=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
    od -An -tx2 -j$((offset + 4)) -N2 "$1" | tr -d ' '
}
certificate_size() {  # the size of a PE32+ file's certificate table (0: unsigned)
    offset=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
    od -An -tu4 -j$((offset + 172)) -N4 "$1" | tr -d ' '
}
signed_files="amd64/VELDRIAN.dll arm64/VELDRIAN.dll veldrian-trace.exe"

if release -DVELDRIAN_SIGN_PKCS12="$work/missing.p12" -DVELDRIAN_SIGN_PASSWORD=env:VELDRIAN_NO_SUCH_VARIABLE; then
    echo "a release with a missing certificate succeeded"
    exit 1
fi

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=VELDRIAN test signer" \
    -addext "extendedKeyUsage=codeSigning" -keyout key.pem -out signer.pem 2>/dev/null
openssl rand -hex 16 >password
openssl pkcs12 -export -inkey key.pem -in signer.pem -passout file:password -out signer.p12
release -DVELDRIAN_SIGN_PKCS12="$work/signer.p12" -DVELDRIAN_SIGN_PASSWORD="file:$work/password" ||
    { cat release.log; exit 1; }
bundle=$(unpack signed)
for file in $signed_files; do
    osslsigncode verify -CAfile signer.pem -in "$bundle/$file" >verify.log 2>&1 ||
        { echo "$file is not signed in the signed release"; cat verify.log; exit 1; }
done

release || { cat release.log; exit 1; }
bundle=$(unpack plain)
for file in $signed_files; do
    [ "$(certificate_size "$bundle/$file")" = 0 ] || { echo "$file is signed in the plain release"; exit 1; }
done
cd "$bundle"
expected=$(printf '%s\n' README.txt SHA256SUMS VELDRIAN-fragment.inf veldrian-trace.exe \
    amd64/VELDRIAN.dll amd64/VELDRIAN.pdb arm64/VELDRIAN.dll arm64/VELDRIAN.pdb | LC_ALL=C sort)
found=$(find . -type f | sed 's|^\./||' | LC_ALL=C sort)
[ "$found" = "$expected" ] || { printf 'the bundle holds:\n%s\nexpected:\n%s\n' "$found" "$expected"; exit 1; }
summed=$(sed 's/^[0-9a-f]\{64\}  //' SHA256SUMS | LC_ALL=C sort)
[ "$summed" = "$(echo "$expected" | grep -vx SHA256SUMS)" ] || { cat SHA256SUMS; exit 1; }
sha256sum --check --strict --quiet SHA256SUMS
cmp amd64/VELDRIAN.dll "$work/release/x64/VELDRIAN.dll"
cmp arm64/VELDRIAN.dll "$work/release/arm64/VELDRIAN.dll"
[ "$(machine amd64/VELDRIAN.dll)" = 8664 ] || { echo "amd64/VELDRIAN.dll is not an x64 DLL"; exit 1; }
[ "$(machine arm64/VELDRIAN.dll)" = aa64 ] || { echo "arm64/VELDRIAN.dll is not an ARM64 DLL"; exit 1; }
for architecture in amd64 arm64; do
    machine=x64
    [ "$architecture" = amd64 ] || machine=arm64
    for test in "$module_test" "$resource_test"; do
        VELDRIAN_DLL="$bundle/$architecture/VELDRIAN.dll" VELDRIAN_MACHINE=$machine "$wine" "$test" --gtest_brief=1
    done
done

# A package as the bundle's README tells an author to make it: the fragment's sections
# in an INF with one model for each architecture, the two folders below it.
mkdir "$work/package"
cp -r amd64 arm64 "$work/package/"
{
    printf '%s\r\n' '[Version]' 'Signature="$Windows NT$"' 'Class=Printer' \
        'ClassGUID={4D36E979-E325-11CE-BFC1-08002BE10318}' 'Provider=%Maker%' 'DriverVer=01/01/2026,1.0.0.0' '' \
        '[Manufacturer]' '%Maker%=Models,NTamd64,NTarm64' '' \
        '[Models.NTamd64]' '"Your Model"=YourModel,YOUR\HARDWARE_ID' '' \
        '[Models.NTarm64]' '"Your Model"=YourModel,YOUR\HARDWARE_ID' '' '[YourModel]' ''
    sed 's/^\[Strings\]/&\r\nMaker="Your company"/' VELDRIAN-fragment.inf
} >"$work/package/your.inf"
cd "$work/package"
"$wine" "$host" --check --inf your.inf >check.log 2>&1 || { cat check.log; exit 1; }
echo "bundle: both architectures' DLLs, signed only when asked, the files and sums as documented; the fragment package passes --check"
cd /
rm -rf "$work"
