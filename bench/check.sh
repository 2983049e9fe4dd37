#!/bin/sh
# The package check at scale: generates a printer driver package of MODELS models
# (3,000 by default), one of them faulty, and times `veldrian-install --check` on it
# under Wine, for a package of x64 models only and for one that lists the same models
# for x64 and for ARM64 (the DLLs in per-architecture folders). Each case runs three
# times; the figure is the wall-clock time of the whole command, Wine's process start
# included. Writes bench/results/check.md.
# Usage: sh bench/check.sh [build directory] [MODELS]   (default: build 3000)
set -eu
cd "$(dirname "$0")/.."
. tools/wine.sh
build=${1:-build}
models=${2:-3000}
cmake --preset gcc -B "$build" >/dev/null
cmake --build "$build" -j2 --target veldrian-install
prefix="$PWD/$build/bench/wineprefix"
sh tools/wineprefix.sh "$prefix"
work="$PWD/$build/bench/check"
rm -rf "$work"
mkdir -p "$work/x64" "$work/arm64"
cp "$build/VELDRIAN.dll" "$work/x64/VELDRIAN.dll"
# An ARM64 DLL for the check: the x64 one with its header's machine set to ARM64
# (0xAA64); the check reads the header and the export table, it loads nothing.
cp "$build/VELDRIAN.dll" "$work/arm64/VELDRIAN.dll"
pe=$(od -An -tu4 -j60 -N4 "$work/arm64/VELDRIAN.dll" | tr -d ' ')
printf '\144\252' | dd of="$work/arm64/VELDRIAN.dll" bs=1 seek=$((pe + 4)) conv=notrunc 2>/dev/null

# generate ARCHITECTURES: the INF on the standard output. Model 1234 (or the middle
# one) registers no CoInstallers32 entry: the one finding.
generate() {
    awk -v models="$models" -v arches="$1" 'BEGIN {
        faulty = models >= 1234 ? 1234 : int(models / 2) + 1
        n = split(arches, arch, " ")
        printf "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=Printer\r\n"
        printf "ClassGUID={4D36E979-E325-11CE-BFC1-08002BE10318}\r\nProvider=%%Maker%%\r\n"
        printf "DriverVer=01/01/2026,1.0.0.0\r\n[Manufacturer]\r\n%%Maker%%=Models"
        for (a = 1; a <= n; a++) printf ",NT%s", arch[a]
        printf "\r\n"
        for (a = 1; a <= n; a++) {
            printf "[Models.NT%s]\r\n", arch[a]
            for (m = 1; m <= models; m++) printf "\"Model %04d\"=Model%04d,VELDRIAN\\Model_%04d\r\n", m, m, m
        }
        for (m = 1; m <= models; m++) {
            printf "[Model%04d]\r\n[Model%04d.CoInstallers]\r\nCopyFiles=VELDRIAN_CopyFiles\r\n", m, m
            if (m != faulty) printf "AddReg=VELDRIAN_AddReg\r\n"
            printf "[Model%04d.HW]\r\nAddReg=Model%04d_HW_AddReg\r\n", m, m
            printf "[Model%04d_HW_AddReg]\r\nHKR,,PortName,,\"USB%03d\"\r\n", m, m % 1000
        }
        printf "[VELDRIAN_CopyFiles]\r\nVELDRIAN.dll\r\n"
        printf "[VELDRIAN_AddReg]\r\nHKR,,CoInstallers32,0x00010000,\"VELDRIAN.dll,CoInstallerE\"\r\n"
        printf "[DestinationDirs]\r\nVELDRIAN_CopyFiles=11\r\n[SourceDisksNames]\r\n1=%%Disk%%,,,\r\n"
        for (a = 1; a <= n; a++) {
            folder = arch[a] == "amd64" ? "x64" : arch[a]
            printf "[SourceDisksFiles.%s]\r\nVELDRIAN.dll=1,%s\r\n", arch[a], folder
        }
        printf "[Strings]\r\nMaker=\"VELDRIAN Bench\"\r\nDisk=\"VELDRIAN bench package\"\r\n"
    }'
}

generate "amd64" >"$work/x64-only.inf"
generate "amd64 arm64" >"$work/two-architectures.inf"
# Every model with a finding: the x64 models' folder holds the ARM64 DLL.
mkdir -p "$work/faulty/x64"
cp "$work/x64-only.inf" "$work/faulty/x64-only.inf"
cp "$work/arm64/VELDRIAN.dll" "$work/faulty/x64/VELDRIAN.dll"

# time_check INF LABEL: the seconds of each of three runs, and the last run's summary
# line; the host's own processor time (user and system, the process that runs it under
# Wine, without Wine's server) of each run goes to $work/cpu-LABEL.
time_check() {
    times=""
    cpu="$work/cpu-$2"
    : >"$cpu"
    for _ in 1 2 3; do
        start=$(date +%s.%N)
        status=0
        WINEPREFIX="$prefix" WINEDEBUG=-all /usr/bin/time -f '%U %S' -o "$work/time.txt" \
            "$wine64" "$build/veldrian-install.exe" --check --inf "$1" >"$work/out.txt" 2>"$work/err.txt" ||
            status=$?
        end=$(date +%s.%N)
        # The last line holds the times (a line before it says the status was not 0).
        tail -n 1 "$work/time.txt" | awk '{ printf " %.2f", $1 + $2 }' >>"$cpu"
        if [ "$status" -ne 6 ]; then
            echo "check.sh: --check on $1 ended with status $status, not 6 (the planted finding)" >&2
            cat "$work/err.txt" >&2
            exit 1
        fi
        times="$times $(echo "$end - $start" | bc)"
    done
    echo "$times"
}

# The host's processor seconds of a LABEL's three runs: "best (T1, T2, T3)".
cpu_of() {
    seconds "$(cat "$work/cpu-$1")"
}

# seconds "T1 T2 T3": "best (T1, T2, T3)", each to two decimals.
seconds() {
    echo "$1" | awk '{ best = $1; for (i = 2; i <= NF; i++) if ($i < best) best = $i
        printf "%.2f (%.2f, %.2f, %.2f)", best, $1, $2, $3 }'
}

results=bench/results
mkdir -p "$results"
load_start=$(cut -d' ' -f1-3 /proc/loadavg)
x64=$(time_check "$work/x64-only.inf" x64)
x64_summary=$(tail -n 1 "$work/out.txt")
both=$(time_check "$work/two-architectures.inf" both)
both_summary=$(tail -n 1 "$work/out.txt")
faulty=$(time_check "$work/faulty/x64-only.inf" faulty)
faulty_summary=$(tail -n 1 "$work/out.txt")
faulty_lines=$(wc -l <"$work/out.txt")
# The same process reading nothing (--help): what the platform's start alone costs.
: >"$work/cpu-start"
for _ in 1 2 3; do
    WINEPREFIX="$prefix" WINEDEBUG=-all /usr/bin/time -f '%U %S' -o "$work/time.txt" \
        "$wine64" "$build/veldrian-install.exe" --help >/dev/null 2>&1
    tail -n 1 "$work/time.txt" | awk '{ printf " %.2f", $1 + $2 }' >>"$work/cpu-start"
done
# The whole command a package author types, on this tree once it is up to date (the
# first call may build the ARM64 DLL and make the main job's prefix: not timed).
BUILD_DIR="$build" sh tools/run.sh --check --inf "$work/x64-only.inf" >/dev/null 2>&1 || true
command_times=""
for _ in 1 2 3; do
    start=$(date +%s.%N)
    BUILD_DIR="$build" sh tools/run.sh --check --inf "$work/x64-only.inf" >/dev/null 2>&1 || true
    command_times="$command_times $(echo "$(date +%s.%N) - $start" | bc)"
done
load_end=$(cut -d' ' -f1-3 /proc/loadavg)


{
    echo "# Package check (--check) at scale"
    echo
    echo "Run on $(date -u +%Y-%m-%d) under Wine 8.0 by \`sh bench/check.sh\`: a generated package of $models"
    echo "models, one of them without its CoInstallers32 line, checked by \`veldrian-install --check\`;"
    echo "then the same with every model faulty, whose report must stay readable."
    echo "Seconds of wall-clock time for the whole command (Wine's process start included), and"
    echo "the host's own processor seconds (user and system, without Wine's server), best of"
    echo "three runs (each run)."
    echo
    echo "| package | models checked | seconds | host processor seconds | summary line |"
    echo "|---|---:|---|---|---|"
    echo "| x64 models only | $models | $(seconds "$x64") | $(cpu_of x64) | $x64_summary |"
    echo "| the same models for x64 and ARM64 | $((models * 2)) | $(seconds "$both") |" \
        "$(cpu_of both) | $both_summary |"
    echo "| x64 models only, every one with a finding (an ARM64 DLL in the x64 folder) | $models |" \
        "$(seconds "$faulty") | $(cpu_of faulty) | $faulty_summary ($faulty_lines lines of output in all) |"
    echo
    echo "The host's processor seconds for --help, which reads nothing (Wine's process start"
    echo "alone): $(cpu_of start); the check's own work is the difference. The whole command,"
    echo "\`sh tools/run.sh --check --inf x64-only.inf\` on an up-to-date tree (its build step"
    echo "included): $(seconds "$command_times") seconds."
    echo
    printf 'Machine: %s cores; load average (1, 5, 15 min) %s at the start, %s at the end.\n' \
        "$(nproc)" "$load_start" "$load_end"
} >"$results/check.md"
cat "$results/check.md"
