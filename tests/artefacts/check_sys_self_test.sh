#!/usr/bin/env bash
# Proves check_sys.sh can fail. Builds a tiny driver image with the real
# mingw-w64 toolchain, headers and import libraries, the way
# cmake/KernelArtefacts.cmake links VantriCamera.sys: once as it should be
# (every check must pass), then once per fault, each of which must make
# exactly the check that guards against it fail.
#
# Usage: check_sys_self_test.sh [<tool prefix>]   (default x86_64-w64-mingw32-)
# Prints one line per case and "N passed, M failed".
set -uo pipefail

prefix=${1:-x86_64-w64-mingw32-}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../.." && pwd)
cxx=${prefix}g++
objcopy=${prefix}objcopy
ddk_include=${VCAM_MINGW_DDK_INCLUDE:-/usr/share/mingw-w64/include/ddk}
for tool in "$cxx" "$objcopy"; do
    command -v "$tool" >/dev/null || { echo "check_sys_self_test: $tool not found" >&2; exit 2; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The kernel build's compile flags (cmake/KernelBuild.cmake) and link line
# (cmake/KernelArtefacts.cmake).
compile_flags=(-std=c++17 -O2 -fno-exceptions -fno-rtti -ffreestanding -fno-threadsafe-statics
    -fno-stack-protector -Wall -Wextra -Wno-unknown-pragmas -I"$repo" -I"$ddk_include")
# shellcheck disable=SC2054 # the commas belong to the linker options
link_flags=(-nostdlib -shared -Wl,--subsystem,native -Wl,--entry,DriverEntry
    -Wl,--undefined,__cxa_pure_virtual -Wl,--disable-auto-import
    -Wl,--disable-runtime-pseudo-reloc -Wl,--exclude-all-symbols)
libraries=(-lks -lntoskrnl -lhal -lgcc)

# A driver in miniature: DriverEntry in INIT, a pageable routine, a resident
# one that takes a spin lock, a class with a pure virtual function (so the vtable refers to
# __cxa_pure_virtual), the driver's own KernelRuntime.cpp. -D switches add
# one fault each.
cat >"$work/Mini.cpp" <<'EOF'
#include "driver/platform/Platform.h"

static const ULONG kTestTag = 0x74736554;

class Shape {
public:
    virtual ULONG Corners() const = 0;
    static void operator delete(void* block) { ExFreePool(block); }
    virtual ~Shape();
};
// The key function: Shape's vtable, with its __cxa_pure_virtual slot, is
// emitted here.
Shape::~Shape() {}
class Square : public Shape {
public:
    ULONG Corners() const override { return 4; }
};

static KSPIN_LOCK lock;

VCAM_PAGE ULONG PagedWork(ULONG value) {
    PAGED_CODE();
#if defined(FAULT_PAGED_SPIN_LOCK)
    KIRQL oldIrql;
    KeAcquireSpinLock(&lock, &oldIrql);
    value += 2;
    KeReleaseSpinLock(&lock, oldIrql);
#endif
    return value * 3;
}

ULONG ResidentWork(ULONG value) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&lock, &oldIrql);
    value += 1;
    KeReleaseSpinLock(&lock, oldIrql);
    return value;
}

VCAM_INIT ULONG InitOnlyWork(ULONG value) { return value ^ 0x5a; }

#if defined(FAULT_INIT_CALLS_PAGE)
VCAM_PAGE __attribute__((noinline)) ULONG PagedHelper(ULONG value) {
    PAGED_CODE();
    return value + static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(&lock));
}
#endif

#if defined(FAULT_INIT_POINTER)
ULONG (*volatile initHook)(ULONG) = InitOnlyWork;
#endif

#if defined(FAULT_BIG_FRAME)
__attribute__((noinline)) ULONG BigFrame(ULONG value) {
    volatile UCHAR scratch[3000];
    for (ULONG i = 0; i < sizeof scratch; ++i) scratch[i] = static_cast<UCHAR>(value + i);
    return scratch[value % sizeof scratch];
}
#endif

#if defined(FAULT_GLOBAL_CONSTRUCTOR)
struct Counter {
    Counter() : value(static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(this))) {}
    ULONG value;
};
Counter globalCounter;
#endif

#if defined(FAULT_OPERATOR_NEW)
void* operator new(size_t size) { return ExAllocatePoolWithTag(NonPagedPoolNx, size, kTestTag); }
#endif

#if defined(FAULT_ENTRY_NOT_INIT)
#define ENTRY_PLACEMENT
#else
#define ENTRY_PLACEMENT VCAM_INIT
#endif

extern "C" ENTRY_PLACEMENT NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject,
                                                PUNICODE_STRING registryPath) {
    static KSDEVICE_DESCRIPTOR descriptor = {};
    Shape* shape = static_cast<Shape*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(Square), kTestTag));
    if (shape != nullptr) {
        new (shape) Square();
        descriptor.FilterDescriptorsCount =
            PagedWork(shape->Corners()) + ResidentWork(0) + InitOnlyWork(1);
        delete shape;
    }
#if defined(FAULT_HAL_IMPORT)
    KeStallExecutionProcessor(1);
#endif
#if defined(FAULT_INIT_CALLS_PAGE)
    descriptor.Version = PagedHelper(descriptor.FilterDescriptorsCount);
#endif
#if defined(FAULT_INIT_POINTER)
    descriptor.Version = initHook(2);
#endif
#if defined(FAULT_BIG_FRAME)
    descriptor.Version = BigFrame(descriptor.FilterDescriptorsCount);
#endif
#if defined(FAULT_GLOBAL_CONSTRUCTOR)
    descriptor.Version = globalCounter.value;
#endif
#if defined(FAULT_OPERATOR_NEW)
    descriptor.Version = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(new ULONG(1)));
#endif
    return KsInitializeDriver(driverObject, registryPath, &descriptor);
}

extern "C" NTSTATUS OtherEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }
EOF

cat >"$work/placement.txt" <<'EOF'
PAGE PagedWork
RESIDENT ResidentWork
INIT InitOnlyWork
RESIDENT Square::Corners
RESIDENT __cxa_pure_virtual
EOF
sed 's/^PAGE PagedWork$/RESIDENT PagedWork/' "$work/placement.txt" >"$work/misplaced.txt"
printf 'PAGE NoSuchRoutine\n' >"$work/misplaced-missing.txt"
grep -v __cxa_pure_virtual "$work/placement.txt" >"$work/no-runtime.txt"

# build <name> [-D... | link:FLAG | nodiscard | noruntime]...: Mini.cpp into
# $work/<name>.sys; the extra words add one fault each.
build() {
    local name=$1
    shift
    local defines=() extra_link=() discard=1 runtime=1 word
    local flags=("${link_flags[@]}")
    for word in "$@"; do
        case $word in
            -D*) defines+=("$word") ;;
            link:*) extra_link+=("${word#link:}") ;;
            nodiscard) discard=0 ;;
            noruntime) runtime=0 ;;
        esac
    done
    local dir=$work/$name
    mkdir -p "$dir"
    # Objects are compiled once per set of defines.
    local variant="Mini${defines[*]:+-${defines[*]// /-}}.o"
    if [[ ! -f $work/$variant ]]; then
        "$cxx" "${compile_flags[@]}" "${defines[@]}" -c "$work/Mini.cpp" -o "$work/$variant" ||
            return 1
    fi
    local objects=("$work/$variant")
    if [[ $runtime -eq 1 ]]; then
        if [[ ! -f $work/KernelRuntime.o ]]; then
            "$cxx" "${compile_flags[@]}" -c "$repo/driver/platform/KernelRuntime.cpp" \
                -o "$work/KernelRuntime.o" || return 1
        fi
        objects+=("$work/KernelRuntime.o")
    fi
    if [[ ${#extra_link[@]} -gt 0 && ${extra_link[0]} == no-undefined-pure ]]; then
        local kept=() flag
        for flag in "${flags[@]}"; do
            [[ $flag == -Wl,--undefined,__cxa_pure_virtual ]] || kept+=("$flag")
        done
        flags=("${kept[@]}")
        extra_link=()
    fi
    # The driver's objects come from an archive, as vcam_driver_kernel does.
    rm -f "$dir/mini.a"
    "${prefix}ar" rcs "$dir/mini.a" "${objects[@]}" || return 1
    "$cxx" "${flags[@]}" "${extra_link[@]}" -o "$work/$name.sys" "$dir/mini.a" \
        "${libraries[@]}" || return 1
    if [[ $discard -eq 1 ]]; then
        "$objcopy" --set-section-flags INIT=alloc,load,readonly,code,contents,debug \
            "$work/$name.sys" || return 1
    fi
}

passed=0
failed=0
result() {  # result <status> <description>
    if [[ $1 -eq 0 ]]; then
        echo "ok   $2"
        passed=$((passed + 1))
    else
        echo "FAIL $2"
        failed=$((failed + 1))
    fi
}

# expect_failure <description> <failing check's text> <image> [placement] [failing checks]:
# check_sys.sh must exit non-zero, fail the named check, and fail only it
# (or exactly the given number of checks, the named one among them).
expect_failure() {
    local description=$1 check_text=$2 image=$3 list=${4:-$work/placement.txt} expected=${5:-1}
    local output status failures
    output=$("$here/check_sys.sh" "$work/$image.sys" "$prefix" "$list" 2>&1)
    status=$?
    failures=$(grep -c '^FAIL ' <<<"$output")
    if [[ $status -ne 0 && $failures -eq $expected ]] && grep -q "^FAIL $check_text" <<<"$output"; then
        result 0 "$description"
    else
        result 1 "$description (exit $status, $failures failing checks)"
        sed 's/^/    | /' <<<"$output"
    fi
}

if ! build good; then
    echo "check_sys_self_test: the reference image does not build" >&2
    exit 1
fi
output=$("$here/check_sys.sh" "$work/good.sys" "$prefix" "$work/placement.txt" 2>&1)
status=$?
[[ $status -eq 0 ]]
result $? "a correctly built driver image passes every check"
[[ $status -eq 0 ]] || sed 's/^/    | /' <<<"$output"

build native-missing link:-Wl,--subsystem,windows &&
    expect_failure "a Win32 GUI subsystem image is refused" "subsystem native" native-missing
# A HAL routine is both from a third module and off the allowlist.
build hal -DFAULT_HAL_IMPORT &&
    expect_failure "an import from hal.dll is refused" "imports only" hal "$work/placement.txt" 2
build entry link:-Wl,--entry,OtherEntry &&
    expect_failure "an entry point other than DriverEntry is refused" "entry point is DriverEntry" entry
build keep-init nodiscard &&
    expect_failure "an INIT section that is not discardable is refused" "INIT is a discardable" keep-init
build entry-resident -DFAULT_ENTRY_NOT_INIT &&
    expect_failure "DriverEntry outside INIT is refused" "DriverEntry is in INIT" entry-resident
expect_failure "a routine in another section than its placement line is refused" \
    "PagedWork in .text" good "$work/misplaced.txt"
expect_failure "a placement line matching no routine is refused" "NoSuchRoutine in PAGE" good \
    "$work/misplaced-missing.txt"
build paged-lock -DFAULT_PAGED_SPIN_LOCK &&
    expect_failure "a spin lock taken in PAGE code is refused" "no PAGE code takes a spin lock" \
        paged-lock
build ctor -DFAULT_GLOBAL_CONSTRUCTOR &&
    expect_failure "a global constructor is refused" "no global constructors" ctor
build new -DFAULT_OPERATOR_NEW &&
    expect_failure "a global operator new is refused" "no C++ or C runtime symbol" new
build weak noruntime link:no-undefined-pure 2>/dev/null &&
    expect_failure "a pure virtual slot left at address 0 is refused" "no unresolved weak" weak \
        "$work/no-runtime.txt"

# doctor <name> <edit>: a copy of good.sys with one edit made by
# pe_doctor.py, its PE checksum recomputed unless the edit is the checksum.
doctor() {
    python3 "$here/pe_doctor.py" "$work/good.sys" "$work/$1.sys" "$2" ||
        { result 1 "doctoring a copy ($2)"; return 1; }
}
doctor bad-checksum checksum &&
    expect_failure "a wrong PE checksum is refused" "PE checksum correct" bad-checksum
doctor writable-text writable-text &&
    expect_failure "a writable code section is refused" "no section both writable" writable-text
doctor no-nx no-nx &&
    expect_failure "an image without NX_COMPAT is refused" "NX compatible" no-nx
doctor unlisted-import rename-import:KsInitializeDriver:KsInitializeDriveR &&
    expect_failure "an import missing from the allowlist is refused" \
        "every imported routine is on the allowlist" unlisted-import
doctor control-register mov-cr0:ResidentWork &&
    expect_failure "a control register access is refused" "no AVX, x87 or privileged" \
        control-register
doctor handler eh-flag &&
    expect_failure "an exception handler in .xdata is refused" "no exception handler" handler
build init-calls-page -DFAULT_INIT_CALLS_PAGE &&
    expect_failure "a call from INIT into PAGE is refused" "no call from .text or INIT into PAGE" \
        init-calls-page
build init-pointer -DFAULT_INIT_POINTER &&
    expect_failure "a pointer into INIT is refused" "no pointer into INIT" init-pointer
build big-frame -DFAULT_BIG_FRAME &&
    expect_failure "a stack frame over 2 KB is refused" "no stack frame over 2 KB" big-frame

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
