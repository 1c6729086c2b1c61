#!/usr/bin/env bash
# VantriStarter.exe as a real program: checks of the file itself, then runs under Wine with
# Wine's real registry, ShellExecuteW and Sleep.
#
# Usage: tests/launcher/wine_test.sh [BUILD_DIR]
#   BUILD_DIR holds VantriStarter.exe, Pellarsetup.exe and Ravelhost.exe (a build of
#   launcher/ with the i686 toolchain and VANTRI_LAUNCHER_TEST_PROGRAMS on). Without it the
#   script builds them into a temporary folder first.
#   KEEP_WINE_TEST=1 keeps the work folder (prefixes, logs) for a look afterwards.
#
# Every case runs in its own copy of one freshly booted Wine prefix. Pellarsetup.exe and
# Ravelhost.exe there are start loggers (StartLogger.cpp): each appends a line with its own
# name, its process creation time, its show command and its current directory to starts.log
# in its folder. Copies of them also sit next to the launcher, which is its current
# directory, so a start from an empty or garbled folder would be logged there too; that log
# must stay empty in every case. A started program must run in its own folder.
#
# The cases of a refused folder (UNC, device path, relative, "..") and of a Pellarsetup.exe
# that is a folder put real loggers where the refused text would lead, so a launcher that
# took it would log a start.
#
# Times: "elapsed" is the wall time of `wine start /wait` on the launcher, Wine's own
# start-up included, and must lie within [expected - 0.5 s, expected + 8 s]. The gaps between
# logged starts come from the processes' creation times, so they measure the launcher's own
# waits; they must lie within [expected - 0.1 s, expected + 2 s]. The exact waits are checked
# on a fake clock by LauncherTest.cpp.
#
# Prints one line per check and case, then "N passed, M failed"; exits non-zero on failure.
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../.." && pwd)

passed=0
failed=0
pass() {
    echo "PASS  $*"
    passed=$((passed + 1))
}
fail() {
    echo "FAIL  $*"
    failed=$((failed + 1))
}
finish() {
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
    exit $?
}

for tool in wine wineboot wineserver i686-w64-mingw32-objdump file python3; do
    if ! command -v "$tool" >/dev/null; then
        fail "tools: $tool is missing (run scripts/bootstrap)"
        finish
    fi
done

work=$(mktemp -d /tmp/vantri-wine.XXXXXX)
work=$(realpath "$work")
case_pids=()
cleanup() {
    local pid prefix
    for pid in "${case_pids[@]}"; do
        kill "$pid" 2>/dev/null
    done
    for prefix in "$work"/prefix "$work"/cases/*/prefix; do
        [ -d "$prefix" ] && WINEPREFIX=$prefix wineserver -k 2>/dev/null
    done
    if [ "${KEEP_WINE_TEST:-0}" = 1 ]; then
        echo "work folder kept: $work"
    else
        rm -rf "$work"
    fi
}
trap cleanup EXIT

# --- The build. ---

build=${1:-}
if [ -z "$build" ]; then
    build=$work/build
    if ! cmake -S "$repo/launcher" -B "$build" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-i686.cmake" -DCMAKE_BUILD_TYPE=Release \
        >"$work/build.log" 2>&1 || ! cmake --build "$build" -j2 >>"$work/build.log" 2>&1; then
        cat "$work/build.log"
        fail "build of launcher/"
        finish
    fi
fi
build=$(realpath "$build")
exe=$build/VantriStarter.exe
logger_first=$build/Pellarsetup.exe
logger_second=$build/Ravelhost.exe
for f in "$exe" "$logger_first" "$logger_second"; do
    if [ ! -f "$f" ]; then
        fail "build: $f is missing"
        finish
    fi
done

# --- The file itself. ---

objdump_p=$(i686-w64-mingw32-objdump -p "$exe")
objdump_x=$(i686-w64-mingw32-objdump -x "$exe")

file_out=$(file -b "$exe")
if [[ $file_out == "PE32 executable"* && $file_out == *"(GUI)"* &&
    ($file_out == *"Intel 80386"* || $file_out == *"Intel i386"*) ]] &&
    grep -q "file format pei-i386" <<<"$objdump_x" &&
    grep -qE "^Magic[[:space:]]+010b[[:space:]]+\(PE32\)" <<<"$objdump_p"; then
    pass "file: PE32 for i386 ($file_out)"
else
    fail "file: not a PE32 i386 program: $file_out"
fi

subsystem=$(awk '$1 == "Subsystem" { print $2 }' <<<"$objdump_p")
if [ "$subsystem" = 00000002 ]; then
    pass "file: subsystem 2 (Windows GUI)"
else
    fail "file: subsystem is '$subsystem', not 00000002 (Windows GUI)"
fi

dlls=$(awk '/DLL Name:/ { print toupper($3) }' <<<"$objdump_x" | sort -u | tr '\n' ' ')
unexpected=""
for dll in $dlls; do
    case $dll in
    ADVAPI32.DLL | SHELL32.DLL | KERNEL32.DLL | MSVCRT.DLL) ;;
    *) unexpected+="$dll " ;;
    esac
done
# The launcher's own calls. SetDefaultDllDirectories is not among them: older Windows
# lacks it, and a program importing it would not load there, so it is found by name with
# GetProcAddress, and that name must be in the file.
launcher_imports=(RegOpenKeyExW RegQueryValueExW RegCloseKey ShellExecuteW Sleep
    ExpandEnvironmentStringsW GetFileAttributesW GetModuleHandleW GetProcAddress SetDllDirectoryW)
printf -v launcher_import_list '%s, ' "${launcher_imports[@]}"
missing_imports=""
for fn in "${launcher_imports[@]}"; do
    grep -qE "[[:space:]]$fn\$" <<<"$objdump_x" || missing_imports+="$fn "
done
if [ -z "$unexpected" ] && [ -z "$missing_imports" ] &&
    [[ " $dlls" == *" ADVAPI32.DLL "* && " $dlls" == *" SHELL32.DLL "* &&
        " $dlls" == *" KERNEL32.DLL "* ]]; then
    pass "file: imports only from $dlls(${launcher_import_list%, })"
else
    fail "file: imports [$dlls] unexpected [$unexpected] missing functions [$missing_imports]"
fi
if grep -qE "[[:space:]]SetDefaultDllDirectories\$" <<<"$objdump_x"; then
    fail "file: SetDefaultDllDirectories is imported, so the program would not load where it is missing"
elif ! grep -qa "SetDefaultDllDirectories" "$exe"; then
    fail "file: the name SetDefaultDllDirectories is not in the file, so it is never looked up"
else
    pass "file: SetDefaultDllDirectories is looked up by name, not imported"
fi

# The manifest resource: type 24 (RT_MANIFEST), name 1, read from the .rsrc section.
manifest_check=$(
    python3 - "$exe" 2>&1 <<'EOF'
import struct, sys
import xml.etree.ElementTree as ET

data = open(sys.argv[1], "rb").read()
pe = struct.unpack_from("<I", data, 0x3C)[0]
if data[pe:pe + 4] != b"PE\0\0":
    sys.exit("no PE header")
sections_count, optional_size = struct.unpack_from("<H", data, pe + 6)[0], struct.unpack_from("<H", data, pe + 20)[0]
optional = pe + 24
if struct.unpack_from("<H", data, optional)[0] != 0x10B:
    sys.exit("not a PE32 optional header")
resource_rva, resource_size = struct.unpack_from("<II", data, optional + 96 + 2 * 8)
if resource_rva == 0:
    sys.exit("no resource directory")
sections = []
for i in range(sections_count):
    s = optional + optional_size + 40 * i
    vsize, vaddr, rawsize, rawptr = struct.unpack_from("<IIII", data, s + 8)
    sections.append((vaddr, max(vsize, rawsize), rawptr))

def offset(rva):
    for vaddr, size, rawptr in sections:
        if vaddr <= rva < vaddr + size:
            return rva - vaddr + rawptr
    sys.exit("rva %#x outside every section" % rva)

base = offset(resource_rva)

def entries(directory):
    named, ids = struct.unpack_from("<HH", data, base + directory + 12)
    for i in range(named + ids):
        name, target = struct.unpack_from("<II", data, base + directory + 16 + 8 * i)
        yield (None if name & 0x80000000 else name), target

manifests = []
for type_id, type_target in entries(0):
    if type_id != 24:
        continue
    for name_id, name_target in entries(type_target & 0x7FFFFFFF):
        for lang_id, lang_target in entries(name_target & 0x7FFFFFFF):
            rva, size = struct.unpack_from("<II", data, base + lang_target)
            start = offset(rva)
            manifests.append((name_id, lang_id, data[start:start + size]))

if len(manifests) != 1:
    sys.exit("%d manifest resources, expected 1" % len(manifests))
name_id, lang_id, text = manifests[0]
if name_id != 1:
    sys.exit("manifest resource is named %r, expected 1" % name_id)
root = ET.fromstring(text)
levels = [e for e in root.iter() if e.tag.endswith("}requestedExecutionLevel")]
if len(levels) != 1:
    sys.exit("%d requestedExecutionLevel elements, expected 1" % len(levels))
attributes = dict(levels[0].attrib)
if attributes != {"level": "requireAdministrator", "uiAccess": "false"}:
    sys.exit("requestedExecutionLevel is %r" % attributes)
print("resource 24/1 (language %d, %d bytes), level=requireAdministrator uiAccess=false"
      % (lang_id, len(text)))
EOF
)
if [ $? -eq 0 ]; then
    pass "file: manifest $manifest_check"
else
    fail "file: manifest: $manifest_check"
fi

# --- Wine. ---

export WINEDEBUG=-all
# No Mono or Gecko installers: the prefix needs neither, and they would ask for them.
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX=$work/prefix

winpath() { # Unix path -> the same path on Wine's Z: drive
    local p=$1
    printf 'Z:%s' "${p//\//\\}"
}
now_ms() { echo $(($(date +%s%N) / 1000000)); }

# Wine runs a 32-bit program in a 32-bit Linux process. Some kernels refuse
# i386 ELF programs altogether (no IA-32 emulation: "Exec format error"); no
# case can run there, which is said plainly and reported as skipped (77).
probe="$work/i386-probe"
python3 - "$probe" <<'PROBE'
import struct, sys
# A minimal static i386 ELF: _exit(0) through int 0x80.
code = bytes([0xB8, 1, 0, 0, 0, 0x31, 0xDB, 0xCD, 0x80])
entry = 0x08048000 + 52 + 32
elf = b"\x7fELF" + bytes([1, 1, 1]) + bytes(9)
elf += struct.pack("<HHIIIIIHHHHHH", 2, 3, 1, entry, 52, 0, 0, 52, 32, 1, 0, 0, 0)
elf += struct.pack("<IIIIIIII", 1, 0, 0x08048000, 0x08048000, 84 + len(code), 84 + len(code), 5, 0x1000)
open(sys.argv[1], "wb").write(elf + code)
PROBE
chmod +x "$probe"
if ! "$probe" 2>"$work/probe.log"; then
    echo "SKIP  wine: this machine cannot execute 32-bit x86 programs ($(tr -d '\n' <"$work/probe.log" | sed 's/.*: //')), so Wine cannot run VantriStarter.exe here"
    echo "$passed passed, $failed failed, 1 skipped"
    [ "$failed" -eq 0 ] && exit 77
    exit 1
fi

boot_start=$(now_ms)
if ! wineboot -i >"$work/wineboot.log" 2>&1 || ! wineserver -w; then
    cat "$work/wineboot.log"
    fail "wine: wineboot -i of a fresh prefix"
    finish
fi
echo "wine prefix booted in $((($(now_ms) - boot_start) / 1000)) s"
touch "$work/prefix.booted"
sleep 1 # so that a write into the shared files shows a later modification time

# A copy of the prefix for one case. The files are hard links, as nothing but the registry
# is written during a run; the registry files are real copies, and the check at the end
# makes sure no case wrote into the shared files.
copy_prefix() {
    local to=$1 reg
    cp -al "$work/prefix" "$to"
    for reg in "$to"/*.reg; do
        cp --remove-destination "$work/prefix/$(basename "$reg")" "$reg"
    done
}

# Runs one case in the background. Its setup function has made $dir/inst and written the
# registry; this adds the launcher, its neighbours and a baseline program, then measures.
# Writes "rc elapsed_ms baseline_ms" to $dir/result.
run_case() {
    local dir=$1
    export WINEPREFIX=$dir/prefix
    mkdir -p "$dir/run" "$dir/base"
    cp "$exe" "$dir/run/VantriStarter.exe"
    cp "$logger_first" "$logger_second" "$dir/run/"
    cp "$logger_first" "$dir/base/Baseline.exe"
    cd "$dir/run" || return
    local t0 t1 t2 t3 rc
    # An empty run in the same prefix: Wine's start-up cost, and proof that a started
    # logger does write its line here.
    t0=$(now_ms)
    timeout 60 wine start /wait /unix "$dir/base/Baseline.exe" >/dev/null 2>&1
    t1=$(now_ms)
    t2=$(now_ms)
    timeout 60 wine start /wait /unix "$dir/run/VantriStarter.exe" >"$dir/wine.log" 2>&1
    rc=$?
    t3=$(now_ms)
    # Let what the launcher started finish writing, then let the prefix shut down.
    timeout 30 wineserver -w || wineserver -k
    echo "$rc $((t3 - t2)) $((t1 - t0))" >"$dir/result"
}

reg_add() { # reg add arguments..., in the case's prefix
    wine reg add "$@" /f >/dev/null 2>&1
}

# Each case: a name, the time it should take in ms, the log that should get the starts and
# the starts in order ("-" for none), the gaps between them in ms, and a setup function
# run with $dir (the case's folder, its prefix already copied).
cases=()
declare -A expected_ms expected_log expected_starts expected_gaps setup description

add_case() {
    cases+=("$1")
    expected_ms[$1]=$2
    expected_log[$1]=$3
    expected_starts[$1]=$4
    expected_gaps[$1]=$5
    setup[$1]=$6
    description[$1]=$7
}

both_programs() { cp "$logger_first" "$logger_second" "$1/"; }

setup_both_start() {
    mkdir "$dir/inst" && both_programs "$dir/inst"
    reg_add 'HKCU\Software\Vantri' /v path /t REG_SZ /d "$(winpath "$dir/inst")\\"
}
setup_no_key() {
    mkdir "$dir/inst" && both_programs "$dir/inst"
}
setup_first_missing() {
    mkdir "$dir/inst" && cp "$logger_second" "$dir/inst/"
    reg_add 'HKCU\Software\Vantri' /v path /t REG_SZ /d "$(winpath "$dir/inst")\\"
}
setup_second_missing() {
    mkdir "$dir/inst" && cp "$logger_first" "$dir/inst/"
    reg_add 'HKCU\Software\Vantri' /v path /t REG_SZ /d "$(winpath "$dir/inst")\\"
}
setup_no_backslash() {
    mkdir "$dir/inst" && both_programs "$dir/inst"
    reg_add 'HKCU\Software\Vantri' /v path /t REG_SZ /d "$(winpath "$dir/inst")"
}
setup_no_backslash_glued() {
    # The names glued onto the last folder name exist as files beside that folder.
    mkdir "$dir/inst" && both_programs "$dir/inst"
    cp "$logger_first" "$dir/instPellarsetup.exe"
    cp "$logger_second" "$dir/instRavelhost.exe"
    reg_add 'HKCU\Software\Vantri' /v path /t REG_SZ /d "$(winpath "$dir/inst")"
}
# An install folder whose Windows path, with its trailing backslash, has $1 characters.
make_folder_of_length() {
    local want=$1 prefix_path="$dir/inst-"
    local pad=$((want - ${#prefix_path} - 3)) # "Z:" before it, "\" after it
    local folder=$prefix_path
    folder+=$(printf 'x%.0s' $(seq 1 "$pad"))
    mkdir "$folder" && both_programs "$folder"
    ln -s "$folder" "$dir/inst"
    echo "$folder"
}
setup_longest_fits() {
    # 126 characters and the null: 254 bytes, within the 255-byte limit.
    local folder
    folder=$(make_folder_of_length 126)
    reg_add 'HKCU\Software\Vantri' /v path /t REG_SZ /d "$(winpath "$folder")\\"
}
setup_too_long() {
    # 127 characters and the null: 256 bytes, one over the limit; the folder is real.
    local folder
    folder=$(make_folder_of_length 127)
    reg_add 'HKCU\Software\Vantri' /v path /t REG_SZ /d "$(winpath "$folder")\\"
}
setup_missing_value() {
    mkdir "$dir/inst" && both_programs "$dir/inst"
    reg_add 'HKCU\Software\Vantri'
}
setup_binary() {
    # The folder's UTF-16 bytes, as reg.exe stores them exactly as given: a sound folder
    # text (here without its terminating null), but of a type that holds no text.
    mkdir "$dir/inst" && both_programs "$dir/inst"
    local hex
    hex=$(printf '%s' "$(winpath "$dir/inst")\\" | iconv -f UTF-8 -t UTF-16LE | od -An -v -tx1 | tr -d ' \n')
    reg_add 'HKCU\Software\Vantri' /v path /t REG_BINARY /d "$hex"
}
setup_expand_system_drive() {
    # %SystemDrive% is C: in Wine, the prefix's drive_c.
    mkdir -p "$dir/prefix/drive_c/Vantri" && both_programs "$dir/prefix/drive_c/Vantri"
    reg_add 'HKCU\Software\Vantri' /v path /t REG_EXPAND_SZ /d "%SystemDrive%\\Vantri\\"
}
setup_unc() {
    # Wine serves \\server\share\ from dosdevices/unc/server/share: point that at a real
    # installation, so taking the UNC path would start it.
    mkdir "$dir/inst" && both_programs "$dir/inst"
    mkdir -p "$dir/prefix/dosdevices/unc/vantrihost" &&
        ln -s "$dir/inst" "$dir/prefix/dosdevices/unc/vantrihost/share"
    reg_add 'HKCU\Software\Vantri' /v path /t REG_SZ /d "\\\\vantrihost\\share\\"
}
setup_device_path() {
    # The installation's own folder, written in the \\?\ device namespace.
    mkdir "$dir/inst" && both_programs "$dir/inst"
    reg_add 'HKCU\Software\Vantri' /v path /t REG_SZ /d "\\\\?\\$(winpath "$dir/inst")\\"
}
setup_relative() {
    # "inst\" from the launcher's current folder (run/) names run/inst, which holds both.
    mkdir "$dir/inst" && both_programs "$dir/inst"
    mkdir -p "$dir/run/inst" && both_programs "$dir/run/inst"
    reg_add 'HKCU\Software\Vantri' /v path /t REG_SZ /d "inst\\"
}
setup_dot_dot() {
    # other\..\inst\ names the installation, through a folder that exists.
    mkdir "$dir/inst" "$dir/other" && both_programs "$dir/inst"
    reg_add 'HKCU\Software\Vantri' /v path /t REG_SZ /d "$(winpath "$dir/other")\\..\\inst\\"
}
setup_first_is_folder() {
    # A folder named Pellarsetup.exe, which the shell would open in a window, and a real
    # Ravelhost.exe that would then be started.
    mkdir -p "$dir/inst/Pellarsetup.exe" && cp "$logger_second" "$dir/inst/"
    reg_add 'HKCU\Software\Vantri' /v path /t REG_SZ /d "$(winpath "$dir/inst")\\"
}

# Longest first, so the whole run ends sooner.
add_case no_key 10000 inst/starts.log - "" setup_no_key \
    "no key: nothing started"
add_case second_missing 7000 inst/starts.log "Pellarsetup.exe Pellarsetup.exe Pellarsetup.exe" \
    "3000 3000" setup_second_missing "second missing: the first started three times"
add_case first_missing 4000 inst/starts.log - "" setup_first_missing \
    "first missing: nothing started"
add_case no_backslash 4000 inst/starts.log - "" setup_no_backslash \
    "path without trailing backslash: nothing started"
add_case too_long 4000 inst/starts.log - "" setup_too_long \
    "path of 127 characters (256 bytes, over the limit): nothing started"
add_case missing_value 4000 inst/starts.log - "" setup_missing_value \
    "key without a path value: nothing started"
add_case binary 4000 inst/starts.log - "" setup_binary \
    "path stored as REG_BINARY: nothing started"
add_case unc 4000 inst/starts.log - "" setup_unc \
    "UNC path to the installation: nothing started"
add_case device_path 4000 inst/starts.log - "" setup_device_path \
    "installation folder as a \\\\?\\ device path: nothing started"
add_case relative 4000 run/inst/starts.log - "" setup_relative \
    "relative path: nothing started"
add_case dot_dot 4000 inst/starts.log - "" setup_dot_dot \
    "path through ..: nothing started"
add_case first_is_folder 4000 inst/starts.log - "" setup_first_is_folder \
    "Pellarsetup.exe is a folder: nothing started"
add_case both_start 2000 inst/starts.log "Pellarsetup.exe Ravelhost.exe" "1000" \
    setup_both_start "both start: one start each"
add_case no_backslash_glued 2000 starts.log "instPellarsetup.exe instRavelhost.exe" "1000" \
    setup_no_backslash_glued "path without trailing backslash: the glued names start"
add_case longest_fits 2000 inst/starts.log "Pellarsetup.exe Ravelhost.exe" "1000" \
    setup_longest_fits "path of 126 characters (254 bytes): both start"
add_case expand_system_drive 2000 prefix/drive_c/Vantri/starts.log "Pellarsetup.exe Ravelhost.exe" \
    "1000" setup_expand_system_drive "REG_EXPAND_SZ %SystemDrive%\\Vantri\\: both start there"

# At most this many cases at once: they mostly sleep, but Wine's start-up takes CPU.
max_parallel=4
mkdir "$work/cases"
for name in "${cases[@]}"; do
    while [ "$(jobs -rp | wc -l)" -ge "$max_parallel" ]; do
        wait -n
    done
    (
        dir=$work/cases/$name
        mkdir "$dir"
        copy_prefix "$dir/prefix"
        export WINEPREFIX=$dir/prefix
        ${setup[$name]} >"$dir/setup.log" 2>&1 || touch "$dir/setup.failed"
        run_case "$dir"
    ) &
    case_pids+=($!)
done
wait
case_pids=()

# The Windows path of the folder that holds a case's log: on the prefix's C: drive, or on Z:.
log_folder_windows() {
    local dir=$1 folder
    folder=$(realpath -m "$(dirname "$2")")
    case $folder in
    "$dir/prefix/drive_c"/*)
        folder=${folder#"$dir/prefix/drive_c/"}
        printf 'C:\\%s' "${folder//\//\\}"
        ;;
    *) winpath "$folder" ;;
    esac
}

# A logged start: "<name> created_ms=<ms> show=<n> cwd=<dir>".
check_case() {
    local name=$1 dir=$work/cases/$1
    local problems="" rc elapsed baseline
    if [ ! -f "$dir/result" ]; then
        fail "${description[$name]}: no result"
        return
    fi
    read -r rc elapsed baseline <"$dir/result"
    [ -e "$dir/setup.failed" ] && problems+=" its setup failed;"

    local base_lines
    base_lines=$(grep -c '^Baseline.exe ' "$dir/base/starts.log" 2>/dev/null)
    [ "${base_lines:-0}" = 1 ] || problems+=" the baseline program logged ${base_lines:-0} starts, not 1;"

    [ "$rc" = 0 ] || problems+=" exit code $rc;"

    local log=$dir/${expected_log[$name]} starts="-" gaps="" shows="" cwds=""
    if [ -s "$log" ]; then
        starts=$(awk '{ print $1 }' "$log" | tr '\n' ' ' | sed 's/ $//')
        gaps=$(awk '{ split($2, c, "="); if (NR > 1) printf "%s%d", (NR > 2 ? " " : ""), c[2] - prev; prev = c[2] }' "$log")
        shows=$(awk '{ print $3 }' "$log" | sort -u | tr '\n' ' ' | sed 's/ $//')
        cwds=$(awk '{ sub(/^[^ ]+ [^ ]+ [^ ]+ cwd=/, ""); sub(/\r$/, ""); sub(/\\$/, ""); print }' "$log" | sort -u)
    fi
    [ "$starts" = "${expected_starts[$name]}" ] ||
        problems+=" starts [$starts], expected [${expected_starts[$name]}];"
    if [ "$starts" != "-" ]; then
        [ "$shows" = "show=3" ] || problems+=" show commands [$shows], expected show=3 (maximized);"
        local own
        own=$(log_folder_windows "$dir" "$log")
        [ "$cwds" = "$own" ] ||
            problems+=" started in [$cwds], expected the program's own folder [$own];"
    fi

    # Any other log in the case (beside the launcher, in the install folder, beside it).
    local other
    for other in "$dir/run/starts.log" "$dir/run/inst/starts.log" "$dir/inst/starts.log" \
        "$dir/starts.log" "$dir/prefix/drive_c/Vantri/starts.log"; do
        [ "$(realpath -m "$other")" = "$(realpath -m "$log")" ] && continue
        [ -s "$other" ] && problems+=" unexpected starts in ${other#"$dir"/}: $(awk '{ print $1 }' "$other" | tr '\n' ' ');"
    done

    local want=${expected_ms[$name]}
    if [ "$elapsed" -lt $((want - 500)) ] || [ "$elapsed" -gt $((want + 8000)) ]; then
        problems+=" took ${elapsed} ms, expected ${want} ms (-500/+8000);"
    fi
    local -a got_gaps want_gaps
    read -r -a got_gaps <<<"$gaps"
    read -r -a want_gaps <<<"${expected_gaps[$name]}"
    if [ "${#got_gaps[@]}" = "${#want_gaps[@]}" ]; then
        local i
        for i in "${!want_gaps[@]}"; do
            if [ "${got_gaps[$i]}" -lt $((want_gaps[i] - 100)) ] ||
                [ "${got_gaps[$i]}" -gt $((want_gaps[i] + 2000)) ]; then
                problems+=" gap $((i + 1)) between starts ${got_gaps[$i]} ms, expected ${want_gaps[$i]} ms (-100/+2000);"
            fi
        done
    fi

    local summary
    summary=$(printf 'exit %s, starts [%s], %d.%03d s (expected %d.%d s; empty run %d.%03d s)' \
        "$rc" "$starts" $((elapsed / 1000)) $((elapsed % 1000)) $((want / 1000)) \
        $((want % 1000 / 100)) $((baseline / 1000)) $((baseline % 1000)))
    [ -n "$gaps" ] && summary+=", gaps [$gaps] ms"
    if [ -z "$problems" ]; then
        pass "${description[$name]}: $summary"
    else
        fail "${description[$name]}: $summary:$problems"
        sed 's/^/      setup: /' "$dir/setup.log"
    fi
}

for name in "${cases[@]}"; do
    check_case "$name"
done

written=$(find "$work/prefix" -type f -newer "$work/prefix.booted" | head -5)
if [ -z "$written" ]; then
    pass "wine: the cases' prefix copies left the shared prefix files untouched"
else
    fail "wine: a case wrote into the shared prefix files: $written"
fi

finish
