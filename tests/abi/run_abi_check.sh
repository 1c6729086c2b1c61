#!/usr/bin/env bash
# The ABI check: every size and offset in tests/abi/AbiFields.def, as the host
# build lays it out (host/include), must equal the real platform's, as
# x86_64-w64-mingw32-g++ lays it out from its ntddk.h/ks.h/ksmedia.h.
#
# Usage: run_abi_check.sh <host-build-dir> [--skew TYPE[.field]]...
#   <host-build-dir>  a configured and built host tree (it holds
#                     tests/abi/abi_host_figures)
#   --skew NAME       passed to abi_host_figures: report one figure 8 bytes
#                     off (TYPE, TYPE.field or TYPE.field:size), so the
#                     self-test can prove that a difference fails
# Environment: VCAM_MINGW_CXX (default x86_64-w64-mingw32-g++),
#              VCAM_MINGW_DDK_INCLUDE (default /usr/share/mingw-w64/include/ddk).
# Compared: the size of every type, the offset and the width of every field.
# Prints one line per difference ("abi: KSPIN.Id offset differs: kernel 24,
# host 28") and "abi: N types, M fields agree" or "abi: K figures of N types
# and M fields differ"; exits 0 only when all agree.
set -euo pipefail

if [[ $# -lt 1 ]]; then
    echo "usage: $0 <host-build-dir> [--skew TYPE[.field]]..." >&2
    exit 2
fi
build_dir=$1
shift
skew_args=()
while [[ $# -gt 0 ]]; do
    if [[ $1 == --skew && $# -ge 2 ]]; then
        skew_args+=(--skew "$2")
        shift 2
    else
        echo "$0: unknown argument $1" >&2
        exit 2
    fi
done

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
generator=$build_dir/tests/abi/abi_host_figures
mingw_cxx=${VCAM_MINGW_CXX:-x86_64-w64-mingw32-g++}
ddk_include=${VCAM_MINGW_DDK_INCLUDE:-/usr/share/mingw-w64/include/ddk}

if [[ ! -x $generator ]]; then
    echo "abi: $generator is missing; build the host tree first" >&2
    exit 2
fi
if ! command -v "$mingw_cxx" >/dev/null; then
    echo "abi: $mingw_cxx not found (scripts/bootstrap installs mingw-w64)" >&2
    exit 2
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$generator" "${skew_args[@]}" >"$work/AbiHostFigures.h"
read -r types fields < <(sed -n 's|^// abi-list: \([0-9]*\) types, \([0-9]*\) fields$|\1 \2|p' \
    "$work/AbiHostFigures.h")
if [[ -z ${types:-} || -z ${fields:-} ]]; then
    echo "abi: the generator printed no list summary" >&2
    exit 2
fi

# The same flags as the kernel build (cmake/KernelBuild.cmake); compiling is
# the whole check, so nothing is written.
status=0
LC_ALL=C "$mingw_cxx" -std=c++17 -fsyntax-only -fno-exceptions -fno-rtti -ffreestanding \
    -Wall -Wextra -Werror -Wno-unknown-pragmas -fmax-errors=0 \
    -I"$repo" -I"$ddk_include" -I"$work" -DVCAM_ABI_HOST_FIGURES \
    "$repo/tests/abi/KernelAbiCheck.cpp" >"$work/compile.log" 2>&1 || status=$?

if [[ $status -eq 0 ]]; then
    echo "abi: $types types, $fields fields agree"
    exit 0
fi

# One line per difference: the name from the assertion's message, the two
# figures from GCC's note "the comparison reduces to '(kernel == host)'".
differences=$(awk '
    /static assertion failed: ABI mismatch: / {
        sub(/.*ABI mismatch: /, ""); sub(/: host build has [0-9]+$/, "");
        name = $0; next
    }
    /note: the comparison reduces to/ && name != "" {
        match($0, /\([0-9]+ [=>]= [0-9]+\)/);
        split(substr($0, RSTART + 1, RLENGTH - 2), v, / [=>]= /);
        printf "abi: %s differs: kernel %s, host %s\n", name, v[1], v[2];
        count++; name = ""; next
    }
    END { print count + 0 > "/dev/stderr" }
' "$work/compile.log" 2>"$work/count")
count=$(cat "$work/count")
if [[ $count -gt 0 ]]; then
    echo "$differences"
    # Anything else that failed (a fixed size, a missing name) is shown too.
    grep -E 'error:' "$work/compile.log" | grep -v 'ABI mismatch: ' || true
    echo "abi: $count figures of $types types and $fields fields differ"
else
    # Not a layout difference: a name one header set lacks, or a fixed size.
    cat "$work/compile.log"
    echo "abi: the kernel headers did not compile the list (see above)"
fi
exit 1
