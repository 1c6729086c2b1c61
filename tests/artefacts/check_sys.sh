#!/usr/bin/env bash
# Checks the built VantriCamera.sys for every property a kernel-mode driver
# image needs, with binutils' objdump and nm:
#   PE32+ for x64, native subsystem, entry point DriverEntry, imports from
#   ks.sys and ntoskrnl.exe only, DriverEntry in INIT, INIT and PAGE as code
#   sections (INIT discardable, PAGE not), each function of placement.txt in
#   its section, no spin lock taken in PAGE code, relocation information
#   kept, and nothing of a C++ or C runtime:
#   no runtime symbols, no global constructors, no .CRT/.tls sections, no
#   unresolved weak references, no runtime pseudo-relocations.
#
# Usage: check_sys.sh <VantriCamera.sys> [<tool prefix>] [<placement file>]
#   <tool prefix>     prefix of objdump/nm, default x86_64-w64-mingw32-
#   <placement file>  default tests/artefacts/placement.txt next to this script
# Prints one line per check and "N passed, M failed"; exits 0 only if all pass.
set -uo pipefail

if [[ $# -lt 1 ]]; then
    echo "usage: $0 <VantriCamera.sys> [<tool prefix>] [<placement file>]" >&2
    exit 2
fi
sys=$1
prefix=${2:-x86_64-w64-mingw32-}
placement=${3:-$(dirname "${BASH_SOURCE[0]}")/placement.txt}
objdump=${prefix}objdump
nm=${prefix}nm

for tool in "$objdump" "$nm"; do
    if ! command -v "$tool" >/dev/null; then
        echo "check_sys: $tool not found" >&2
        exit 2
    fi
done
if [[ ! -f $sys ]]; then
    echo "check_sys: $sys does not exist" >&2
    exit 2
fi
if [[ ! -f $placement ]]; then
    echo "check_sys: placement list $placement does not exist" >&2
    exit 2
fi

passed=0
failed=0
check() {  # check <status> <description> [detail]
    if [[ $1 -eq 0 ]]; then
        echo "ok   $2"
        passed=$((passed + 1))
    else
        echo "FAIL $2${3:+: $3}"
        failed=$((failed + 1))
    fi
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
LC_ALL=C "$objdump" -p "$sys" >"$work/private" 2>&1
LC_ALL=C "$objdump" -h "$sys" >"$work/headers" 2>&1
LC_ALL=C "$nm" "$sys" >"$work/symbols" 2>&1
LC_ALL=C "$nm" -C --defined-only "$sys" >"$work/demangled" 2>&1

header_value() {  # header_value <field>: a value of objdump -p's header block
    awk -v field="$1" '$1 == field { print $2; exit }' "$work/private"
}

# Section table as "name vma size", from objdump -h.
awk '$1 ~ /^[0-9]+$/ && NF >= 7 { print $2, $4, $3 }' "$work/headers" >"$work/sections"

# section_of <hex address>: the section holding it, or "-".
section_of() {
    local address=$((16#$1)) name vma size
    while read -r name vma size; do
        if ((address >= 16#$vma && address < 16#$vma + 16#$size)); then
            echo "$name"
            return
        fi
    done <"$work/sections"
    echo "-"
}

# Raw section characteristics (objdump does not print them for PE images):
# e_lfanew at 0x3c, the section table after the optional header, 40 bytes an
# entry, Characteristics at +36.
read_u32() {  # read_u32 <offset>
    local b
    read -ra b < <(od -An -v -t u1 -j "$1" -N 4 "$sys")
    echo $((b[0] | b[1] << 8 | b[2] << 16 | b[3] << 24))
}
read_u16() {
    local b
    read -ra b < <(od -An -v -t u1 -j "$1" -N 2 "$sys")
    echo $((b[0] | b[1] << 8))
}
characteristics_of() {  # characteristics_of <section name>: decimal, or empty
    local pe count optional table i name
    pe=$(read_u32 60)
    count=$(read_u16 $((pe + 6)))
    optional=$(read_u16 $((pe + 20)))
    table=$((pe + 24 + optional))
    for ((i = 0; i < count; i++)); do
        name=$(dd if="$sys" bs=1 skip=$((table + 40 * i)) count=8 2>/dev/null | tr -d '\0')
        if [[ $name == "$1" ]]; then
            read_u32 $((table + 40 * i + 36))
            return
        fi
    done
}

# ---- image format ----------------------------------------------------------------
format=$(LC_ALL=C "$objdump" -f "$sys" | sed -n 's/.*file format \(.*\)$/\1/p' | head -1)
magic=$(awk '$1 == "Magic" { print $2 }' "$work/private")
[[ $format == pei-x86-64 && $magic == 020b ]]
check $? "PE32+ image for x64 (pei-x86-64, optional header magic 020b)" \
    "format '$format', magic '$magic'"

subsystem=$(header_value Subsystem)
[[ $subsystem =~ ^0*1$ ]]
check $? "subsystem native (1)" "subsystem '$subsystem'"

# ---- entry point -------------------------------------------------------------------
entry_rva=$(header_value AddressOfEntryPoint)
image_base=$(header_value ImageBase)
driver_entry=$(awk '$3 == "DriverEntry" && ($2 == "T" || $2 == "t") { print $1 }' "$work/symbols")
if [[ -n $driver_entry && -n $entry_rva && -n $image_base ]] &&
    ((16#$driver_entry - 16#$image_base == 16#$entry_rva)); then
    check 0 "entry point is DriverEntry"
else
    check 1 "entry point is DriverEntry" \
        "AddressOfEntryPoint '$entry_rva', DriverEntry at '$driver_entry', base '$image_base'"
fi

# ---- imports -------------------------------------------------------------------
mapfile -t dlls < <(sed -n 's/^[[:space:]]*DLL Name: //p' "$work/private")
bad_dlls=()
for dll in "${dlls[@]}"; do
    case ${dll,,} in
        ks.sys | ntoskrnl.exe) ;;
        *) bad_dlls+=("$dll") ;;
    esac
done
[[ ${#dlls[@]} -gt 0 && ${#bad_dlls[@]} -eq 0 ]]
check $? "imports only ks.sys and ntoskrnl.exe (${dlls[*]:-none})" \
    "also imports: ${bad_dlls[*]:-nothing at all}"

# ---- sections ------------------------------------------------------------------
IMAGE_SCN_CNT_CODE=$((0x20))
IMAGE_SCN_MEM_DISCARDABLE=$((0x02000000))
IMAGE_SCN_MEM_EXECUTE=$((0x20000000))
IMAGE_SCN_MEM_READ=$((0x40000000))
IMAGE_SCN_MEM_WRITE=$((0x80000000))
code_flags=$((IMAGE_SCN_CNT_CODE | IMAGE_SCN_MEM_EXECUTE | IMAGE_SCN_MEM_READ))
describe_characteristics() {  # describe_characteristics <decimal or empty>
    if [[ -z $1 ]]; then
        echo "no such section"
    else
        printf 'characteristics 0x%08x' "$1"
    fi
}

init=$(characteristics_of INIT)
[[ -n $init ]] && (((init & code_flags) == code_flags)) &&
    ! ((init & IMAGE_SCN_MEM_WRITE)) && ((init & IMAGE_SCN_MEM_DISCARDABLE))
check $? "INIT is a discardable code section (code, execute, read; not write)" \
    "$(describe_characteristics "$init")"

page=$(characteristics_of PAGE)
[[ -n $page ]] && (((page & code_flags) == code_flags)) && ! ((page & IMAGE_SCN_MEM_WRITE)) &&
    ! ((page & IMAGE_SCN_MEM_DISCARDABLE))
check $? "PAGE is a code section kept after load (code, execute, read; not discardable)" \
    "$(describe_characteristics "$page")"

# The kernel loads a driver at whatever address it chooses: the image must
# keep its base relocations (ld lists "relocations stripped" otherwise).
relocations=$(awk '/Base Relocation Directory/ { print $4 }' "$work/private")
! grep -q 'relocations stripped' "$work/private"
check $? "relocatable (base relocations kept: ${relocations:-0} bytes)" \
    "the image's relocation information is stripped"

runtime_sections=$(awk '{ print $1 }' "$work/sections" | grep -E '^\.(CRT|tls)' | tr '\n' ' ')
[[ -z $runtime_sections ]]
check $? "no .CRT or .tls section" "found $runtime_sections"

# ---- placement -----------------------------------------------------------------
if [[ -n $driver_entry ]]; then
    where=$(section_of "$driver_entry")
    [[ $where == INIT ]]
    check $? "DriverEntry is in INIT" "it is in $where"
else
    check 1 "DriverEntry is in INIT" "no DriverEntry symbol"
fi

# Functions of the image by demangled name without parameters: "address name".
awk '$2 == "T" || $2 == "t" {
        address = $1; $1 = ""; $2 = ""; sub(/^  /, "")
        gsub(/\(anonymous namespace\)/, "{anonymous}")
        name = $0; paren = index(name, "("); if (paren > 0) name = substr(name, 1, paren - 1)
        print address, name
    }' "$work/demangled" >"$work/functions"

while read -r kind pattern rest; do
    [[ -z ${kind:-} || $kind == \#* ]] && continue
    case $kind in
        PAGE) want=PAGE ;;
        INIT) want=INIT ;;
        RESIDENT) want=.text ;;
        *)
            check 1 "placement line '$kind $pattern'" "unknown kind $kind (PAGE, INIT or RESIDENT)"
            continue
            ;;
    esac
    matched=0
    misplaced=()
    while read -r address name; do
        # shellcheck disable=SC2053 # the pattern is a glob on purpose
        if [[ $name == $pattern ]]; then
            matched=$((matched + 1))
            where=$(section_of "$address")
            [[ $where == "$want" ]] || misplaced+=("$name in $where")
        fi
    done <"$work/functions"
    if [[ $matched -eq 0 ]]; then
        check 1 "$pattern in $want" "no such function in the image"
    else
        [[ ${#misplaced[@]} -eq 0 ]]
        check $? "$pattern in $want ($matched symbol(s))" "${misplaced[*]}"
    fi
done <"$placement"

# Pageable code runs at PASSIVE_LEVEL only: a spin lock taken in it would run
# the rest of the routine at DISPATCH_LEVEL, where a page fault is fatal. A
# PAGE routine may call a resident one that takes the lock, not take it itself.
paged_raises=$(LC_ALL=C "$objdump" -d -j PAGE "$sys" 2>/dev/null |
    grep -oE '<__imp_(KeAcquireSpinLock[A-Za-z]*|KeAcquireInStackQueuedSpinLock[A-Za-z]*|KfRaiseIrql|KeRaiseIrql[A-Za-z]*|ExAcquireSpinLock[A-Za-z]*|KfAcquireSpinLock)>' |
    sort -u | tr -d '<>' | sed 's/__imp_//' | tr '\n' ' ')
[[ -z $paged_raises ]]
check $? "no PAGE code takes a spin lock or raises the IRQL itself" "PAGE calls $paged_raises"

# ---- no runtime ----------------------------------------------------------------
# C++ runtime entry points, global operator new/delete, and C runtime start-up
# and exit machinery. __cxa_pure_virtual is the driver's own (KernelRuntime.cpp).
runtime=$(awk '{ $1 = ""; $2 = ""; sub(/^  /, ""); print }' "$work/demangled" |
    grep -E '^(__cxa_|__gxx_|_Unwind_|__dynamic_cast|typeinfo|std::|__cxxabiv1|operator (new|delete)|__stack_chk|atexit|_onexit|__cxa_atexit|__main$|_pei386_runtime_relocator|__mingw_|_CRT_|mainCRTStartup|DllMainCRTStartup)' |
    grep -v '^__cxa_pure_virtual$' | sort -u | tr '\n' ';')
undefined_runtime=$(awk '$1 == "U" || $1 == "w" { print $2 }' "$work/symbols" |
    grep -E '^(__cxa_|__gxx_|_Unwind_|_Znw|_Zna|_Zdl|_Zda|__stack_chk|atexit|_onexit)' |
    grep -v '^__cxa_pure_virtual$' | tr '\n' ';')
[[ -z $runtime && -z $undefined_runtime ]]
check $? "no C++ or C runtime symbol (new/delete, __cxa_*, unwinder, exit handlers)" \
    "${runtime}${undefined_runtime}"

ctor=$(awk '$3 == "__CTOR_LIST__" { print $1 }' "$work/symbols")
dtor=$(awk '$3 == "__DTOR_LIST__" { print $1 }' "$work/symbols")
# An empty list is its two markers: eight bytes of -1, eight of 0.
[[ -z $ctor ]] || ((16#$dtor - 16#$ctor == 16))
check $? "no global constructors (nothing would run them)" \
    "constructor list holds $(((16#${dtor:-0} - 16#${ctor:-0} - 16) / 8)) entries"

weak=$(awk '$1 == "w" { print $2 }' "$work/symbols" | tr '\n' ' ')
[[ -z $weak ]]
check $? "no unresolved weak reference (it would be address 0)" "$weak"

psrelocs=$(awk '$3 == "__rt_psrelocs_size" { print $1 }' "$work/symbols")
[[ -z $psrelocs || $psrelocs =~ ^0+$ ]]
check $? "no runtime pseudo-relocations (no user-mode runtime applies them)" \
    "__rt_psrelocs_size $psrelocs"

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
