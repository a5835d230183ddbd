#!/usr/bin/env bash
# Builds the KMDF echo sample of the Windows driver samples, unchanged, against the platform,
# and runs every finite mode of its test program against each of its two drivers.
#
# usage: scripts/run-foreign-driver.sh PATH
#   PATH  a checkout of the driver samples, or a bare git directory of them (HEAD is used)
#
# general/echo/kmdf is extracted into a temporary directory (nothing of it enters this
# repository) and built in build/foreign with the sample's own defines (UNICODE, _UNICODE):
# each driver with echoapp in a runner executable of its own (sim/runner). Each mode runs in
# a process of its own and prints one line: the mode, the program's verdict, the virtual and
# real time, and the final check. The full output of each run is kept in build/foreign/runs/.
set -euo pipefail
export LC_ALL=C  # plain quotes in the compiler's messages
cd "$(dirname "$0")/.."
root=$(pwd)

if [[ $# -ne 1 ]]; then
    echo "usage: $0 PATH (a checkout or a bare git directory of the driver samples)" >&2
    exit 2
fi
source_path=$1
sample=general/echo/kmdf

work=$(mktemp -d "${TMPDIR:-/tmp}/foreign-echo.XXXXXX")
trap 'rm -rf "$work"' EXIT
echo_dir=$work/kmdf
mkdir -p "$echo_dir"

# ---- Extract --------------------------------------------------------------------------------
if [[ "$(git -C "$source_path" rev-parse --is-bare-repository 2>/dev/null)" == "true" ]]; then
    git -C "$source_path" archive "HEAD:$sample" | tar -x -C "$echo_dir"
    revision=$(git -C "$source_path" rev-parse --short HEAD)
elif [[ -d "$source_path/$sample" ]]; then
    cp -R "$source_path/$sample/." "$echo_dir"
    revision=$(git -C "$source_path" rev-parse --short HEAD 2>/dev/null || echo "working tree")
else
    echo "$source_path: neither a bare git directory nor a checkout with $sample" >&2
    exit 2
fi
for f in exe/echoapp.cpp driver/AutoSync/queue.c driver/DriverSync/queue.c; do
    [[ -f "$echo_dir/$f" ]] || { echo "$sample/$f is missing in $source_path" >&2; exit 2; }
done
echo "echo sample: $sample at $revision, extracted to $echo_dir"

# ---- Build ----------------------------------------------------------------------------------
build=$root/build/foreign
log=$build/build.log
mkdir -p "$build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVRAX_BENCH=OFF \
    -DVRAX_FOREIGN_ECHO_DIR="$echo_dir" >"$build/configure.log" 2>&1 ||
    { cat "$build/configure.log" >&2; exit 1; }

declare -A built
status=0
# echoapp first: it depends on the Win32 subset only.
for target in echoapp_program echo_autosync_runner echo_driversync_runner; do
    if ninja -C "$build" -k 0 "$target" >"$log.$target" 2>&1; then
        built[$target]=1
        echo "build $target: ok"
    else
        status=1
        echo "build $target: FAILED (full log: $log.$target)"
        # What the platform still lacks, as the compiler and linker name it.
        {
            grep -hoE "fatal error: [^ ]+: No such file" "$log.$target" || true
            grep -hoE "(unknown type name|implicit declaration of function) '[A-Za-z_0-9]+'" \
                "$log.$target" || true
            grep -hoE "'[A-Za-z_0-9]+' (undeclared|was not declared)" "$log.$target" || true
            grep -hoE "undefined reference to \`[A-Za-z_0-9]+'" "$log.$target" || true
            # The platform's own headers where they do not compile as the sample's C.
            grep -hoE "platform/include/[A-Za-z_0-9]+\.h:[0-9]+:[0-9]+: error: .*" "$log.$target" |
                sed -E 's|.*platform/include/|header |' || true
        } | sort -u | sed 's/^/    /'
    fi
done

# ---- Run ------------------------------------------------------------------------------------
runs=$build/runs
mkdir -p "$runs"
# The service and hardware id each driver's INF installs.
inf_service() { grep -i '^AddService' "$1" | tr -d '\r' | sed -E 's/^[^=]*=[[:space:]]*([^,[:space:]]+).*/\1/' | head -1; }
inf_hwid() { grep -iE '^%[^%]+%[[:space:]]*=[^,]+,[[:space:]]*root\\' "$1" | tr -d '\r' | sed -E 's/.*,[[:space:]]*//' | head -1; }

run_mode() {  # runner inf name args...
    local runner=$1 inf=$2 name=$3
    shift 3
    local out
    out=$runs/$(basename "$runner")-$(echo "$name" | tr -cs 'A-Za-z0-9' '_' | sed 's/_$//').log
    local service hwid
    service=$(inf_service "$inf")
    hwid=$(inf_hwid "$inf")
    local rc=0
    timeout 600 "$runner" --service "$service" --hardware-id "$hwid" --mode "$name" "$@" \
        >"$out" 2>&1 || rc=$?
    [[ $rc -eq 0 ]] || status=1
    local line
    line=$(grep '^RESULT ' "$out" | tail -1 || true)
    if [[ -n "$line" ]]; then
        echo "  ${line#RESULT }"
    else
        echo "  $name | no verdict: the runner ended with status $rc ($(tail -1 "$out"))"
    fi
}

for variant in autosync driversync; do
    runner=$build/sim/runner/echo_${variant}_runner
    case $variant in
        autosync) inf=$echo_dir/driver/AutoSync/echo.inx ;;
        driversync) inf=$echo_dir/driver/DriverSync/echo_2.inx ;;
    esac
    echo "$variant ($(inf_service "$inf"), $(inf_hwid "$inf")):"
    if [[ -z "${built[echo_${variant}_runner]:-}" ]]; then
        echo "  not run: the runner did not build"
        continue
    fi
    run_mode "$runner" "$inf" "synchronous"
    run_mode "$runner" "$inf" "-Async 5" -- -Async 5
    run_mode "$runner" "$inf" "-Async 100" -- -Async 100
    run_mode "$runner" "$inf" "-Async 100, sleep at 50 ms, resume 5 s later" \
        --sleep-at 50 --resume-after 5000 -- -Async 100
done
exit $status
