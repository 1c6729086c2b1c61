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
#   Hardening and what the kernel's loader and verifier expect: a correct PE
#   checksum, no section both writable and executable, NX compatible, every
#   imported routine on the allowlist (host/loader/Imports.def, the routines
#   the host binds), no AVX, x87 or privileged instruction, no call from
#   .text or INIT into PAGE, no pointer into INIT, no stack frame over 2 KB,
#   no exception handler in .xdata.
#
# Usage: check_sys.sh <VantriCamera.sys> [<tool prefix>] [<placement file>] [<allowlist>]
#   <tool prefix>     prefix of objdump/nm, default x86_64-w64-mingw32-
#   <placement file>  default tests/artefacts/placement.txt next to this script
#   <allowlist>       VCAM_IMPORT lines, default host/loader/Imports.def
# Prints one line per check and "N passed, M failed"; exits 0 only if all pass.
set -uo pipefail

if [[ $# -lt 1 ]]; then
    echo "usage: $0 <VantriCamera.sys> [<tool prefix>] [<placement file>] [<import allowlist>]" >&2
    exit 2
fi
sys=$1
prefix=${2:-x86_64-w64-mingw32-}
placement=${3:-$(dirname "${BASH_SOURCE[0]}")/placement.txt}
allowlist=${4:-$(dirname "${BASH_SOURCE[0]}")/../../host/loader/Imports.def}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
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


# ---- hardening, and what the kernel's loader expects ------------------------------
facts=$(python3 "$here/pe_facts.py" "$sys" 2>&1)
read -r _ stored computed < <(grep '^checksum ' <<<"$facts")
[[ -n ${stored:-} && $stored == "${computed:-}" ]]
check $? "PE checksum correct (${stored:-none})" "stored ${stored:-?}, computed ${computed:-?}"

writable_code=$(awk '$1 == "writable-code" { print $2 }' <<<"$facts" | tr '\n' ' ')
[[ -z $writable_code ]]
check $? "no section both writable and executable" "$writable_code"

grep -q '^nx 1$' <<<"$facts"
check $? "NX compatible (DllCharacteristics NX_COMPAT)" "NX_COMPAT is not set"

# Imported routines by name: each must have its line in the allowlist, the
# routines the host's loader binds (one file for both).
mapfile -t allowed < <(sed -n 's/^VCAM_IMPORT("\([^"]*\)", *\([A-Za-z0-9_]*\),.*/\1!\2/p' "$allowlist")
awk '/DLL Name:/ { dll = tolower($3); next }
     dll != "" && NF == 3 && $1 ~ /^[0-9a-f]+$/ && $2 ~ /^[0-9]+$/ { print dll "!" $3; next }
     NF == 0 { dll = "" }' "$work/private" >"$work/imported"
unlisted=()
while read -r import; do
    found=0
    for entry in "${allowed[@]}"; do
        [[ ${entry,,} == "${import%%!*}!${import#*!}" || $entry == "${import%%!*}!${import#*!}" ]] &&
            found=1 && break
    done
    [[ $found -eq 1 ]] || unlisted+=("$import")
done <"$work/imported"
[[ -s $work/imported && ${#allowed[@]} -gt 0 && ${#unlisted[@]} -eq 0 ]]
check $? "every imported routine is on the allowlist ($(wc -l <"$work/imported") imports)" \
    "not listed in $(basename "$allowlist"): ${unlisted[*]:-no imports found}"

# Code: no AVX (the kernel saves no extended state for a driver), no x87, no
# privileged instruction (control or debug registers, port I/O, interrupt
# flag, descriptor tables, MSRs) and no gs:-relative access (the processor
# block is the kernel's). The constructor and destructor lists the linker
# puts into .text are pointers, not code (their own check refuses them): their
# bytes, which change with the image base, are not read as instructions.
LC_ALL=C "$objdump" -d "$sys" >"$work/code" 2>&1
forbidden=$(awk -F'\t' '/^[0-9a-f]+ <.*>:$/ {
        list = ($0 ~ /<(__CTOR_LIST__|__DTOR_LIST__|\.ctors|\.dtors)>:$/); next }
    NF >= 3 && !list {
        split($3, part, " "); mnemonic = part[1]; operands = $3
        if (mnemonic ~ /^v/ && mnemonic !~ /^verr|^verw/ || operands ~ /%[yz]mm/) print "AVX " $1 " " $3
        else if (mnemonic ~ /^f/ && mnemonic !~ /^femms/) print "x87 " $1 " " $3
        else if (operands ~ /%(cr|dr)[0-9]/ || operands ~ /%gs:/ ||
                 mnemonic ~ /^(in|ins[bwl]?|out|outs[bwl]?|cli|sti|hlt|lgdt|lidt|lldt|ltr|wrmsr|rdmsr|invlpg|swapgs|wbinvd|invd)$/)
            print "privileged " $1 " " $3
    }' "$work/code" | head -3 | tr '\n' ';')
[[ -z $forbidden ]]
check $? "no AVX, x87 or privileged instruction, no gs:-relative access" "$forbidden"

# Resident and INIT code may run above APC_LEVEL or before PAGE is ever
# brought in: a direct call or jump from them into PAGE is a placement bug.
into_page=$(LC_ALL=C "$objdump" -d -j .text -j INIT "$sys" 2>/dev/null |
    awk '$0 ~ /\t(call|jmp)[ \t]+[0-9a-f]+ </ { print $(NF - 1), $NF }' |
    while read -r target name; do
        [[ $(section_of "$target") == PAGE ]] && echo "$name"
    done | sort -u | head -3 | tr '\n' ' ')
[[ -z $into_page ]]
check $? "no call from .text or INIT into PAGE" "calls $into_page"

# INIT is freed once DriverEntry returns: nothing may keep its address.
init_pointers=$(awk '$1 == "init-pointer" { print "slot 0x" $2 " -> 0x" $3 }' <<<"$facts" |
    head -3 | tr '\n' ';')
[[ -z $init_pointers ]]
check $? "no pointer into INIT (only the entry point refers to it)" "$init_pointers"

# Kernel stacks are small (24 KB on x64, shared by every driver on the path).
largest=$(grep -oE 'alloc (small|large) area: rsp = rsp - 0x[0-9a-f]+' "$work/private" |
    sed 's/.*0x//' | while read -r hex; do echo $((16#$hex)); done | sort -n | tail -1)
((${largest:-0} <= 2048))
check $? "no stack frame over 2 KB (largest ${largest:-0} bytes)" "a frame of $largest bytes"

handlers=$(grep -c '^handler ' <<<"$facts")
[[ $handlers -eq 0 ]]
check $? "no exception handler in .xdata (no SEH, no C++ exceptions)" \
    "$handlers unwind entries name a handler"

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
