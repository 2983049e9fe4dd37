#!/bin/sh
# Builds VELDRIAN.dll twice, from two copies of the sources in two folders of different
# names and depths, and compares the DLLs and their debug information byte for byte: a
# release built anywhere from the same sources is the same file.
# Usage: reproducible_test.sh SOURCE-DIR WORK-DIR TOOLCHAIN-FILE-NAME
set -eu
source_dir=$1
work=$2
toolchain=$3

rm -rf "$work"
build() {  # FOLDER: a copy of the sources in FOLDER/VELDRIAN, built in FOLDER/out
    mkdir -p "$1/VELDRIAN"
    for part in CMakeLists.txt cmake module installer defaultprinter trace tools examples; do
        cp -R "$source_dir/$part" "$1/VELDRIAN/"
    done
    cmake -S "$1/VELDRIAN" -B "$1/out" -DCMAKE_TOOLCHAIN_FILE="$1/VELDRIAN/cmake/$toolchain" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELDRIAN_BUILD_TESTS=OFF >"$1/configure.log" 2>&1 ||
        { cat "$1/configure.log"; exit 1; }
    cmake --build "$1/out" --target VELDRIAN -j2 >"$1/build.log" 2>&1 || { cat "$1/build.log"; exit 1; }
}
build "$work/one"
build "$work/a second folder/deeper"

compared=0
for file in VELDRIAN.dll VELDRIAN.pdb VELDRIAN.dll.debug; do
    first="$work/one/out/$file"
    second="$work/a second folder/deeper/out/$file"
    [ -e "$first" ] || continue
    cmp "$first" "$second" || { echo "$file differs between the two builds"; exit 1; }
    compared=$((compared + 1))
done
# The DLL and its debug information (a PDB or a .debug file).
[ "$compared" -eq 2 ] || { echo "expected the DLL and one debug file, compared $compared files"; exit 1; }
echo "reproducible: VELDRIAN.dll and its debug information are the same from both folders"
rm -rf "$work"
