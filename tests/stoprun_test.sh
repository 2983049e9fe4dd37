#!/bin/sh
# kill -TERM of tools/run.sh while its newdev call is stuck (a vendor co-installer that
# never returns) ends the run within 10 s, with status 130, its work undone: the next
# --clean finds nothing recorded.
# Usage: stoprun_test.sh SOURCE-DIR BUILD-DIR VENDOR-CO-INSTALLER VELDRIAN-DLL
set -eu
source_dir=$1
build=$2
work="$build/stoprun-test"
rm -rf "$work"
mkdir -p "$work"
cp "$3" "$work/vendorci.dll"
cp "$4" "$work/VELDRIAN.dll"
printf '%s\r\n' '[Version]' 'Signature="$Windows NT$"' 'Class=Printer' \
    'ClassGUID={4D36E979-E325-11CE-BFC1-08002BE10318}' 'Provider=Tests' \
    '[Manufacturer]' 'Tests=Models,NTamd64' '[Models.NTamd64]' '"Stalling Model"=Stall,TESTS\STALL' \
    '[Stall]' '[Stall.CoInstallers]' 'CopyFiles=CoInstallers' 'AddReg=Registration' \
    '[CoInstallers]' 'VELDRIAN.dll' 'vendorci.dll' \
    '[Registration]' 'HKR,,CoInstallers32,0x00010000,"VELDRIAN.dll,CoInstallerE","vendorci.dll,StallEntry"' \
    '[DestinationDirs]' 'CoInstallers=11' '[SourceDisksNames]' '1=Tests,,,' \
    '[SourceDisksFiles]' 'VELDRIAN.dll=1' 'vendorci.dll=1' >"$work/stall.inf"
BUILD_DIR=$build sh "$source_dir/tools/run.sh" --inf "$work/stall.inf" --timeout 600 >"$work/out" 2>&1 &
run=$!
# The first run in a tree also builds the ARM64 DLL and makes the main job's prefix.
waited=0
until grep -q '^> newdev: ' "$work/out"; do
    if [ "$waited" -ge 400 ] || ! kill -0 "$run" 2>/dev/null; then
        kill -KILL "$run" 2>/dev/null || true
        cat "$work/out"
        echo "the run never reached its newdev call"
        exit 1
    fi
    sleep 1
    waited=$((waited + 1))
done
sleep 2
started=$(date +%s)
kill -TERM "$run"
status=0
wait "$run" || status=$?
took=$(($(date +%s) - started))
[ "$status" -eq 130 ] || { cat "$work/out"; echo "run.sh ended with $status, not 130"; exit 1; }
[ "$took" -le 10 ] || { cat "$work/out"; echo "run.sh took $took s to stop"; exit 1; }
BUILD_DIR=$build sh "$source_dir/tools/run.sh" --clean >"$work/clean" 2>&1
grep -q 'no run is recorded in this Wine prefix' "$work/clean" ||
    { cat "$work/out" "$work/clean"; echo "the stopped run left its work in the prefix"; exit 1; }
rm -rf "$work"
echo "kill -TERM of run.sh in a stuck newdev call: stopped in $took s, status 130, nothing left"
