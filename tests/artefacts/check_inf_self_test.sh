#!/usr/bin/env bash
# Proves check_inf.sh can fail: the real driver/VantriCamera.inf must pass,
# and each copy of it with one fault (or an expected.txt / descriptor that
# disagrees with it) must fail exactly the checks that guard against that
# fault.
#
# Usage: check_inf_self_test.sh
# Prints one line per case and "N passed, M failed".
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../.." && pwd)
inf=$repo/driver/VantriCamera.inf
expected=$here/expected.txt
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

passed=0
failed=0
result() {
    if [[ $1 -eq 0 ]]; then
        echo "ok   $2"
        passed=$((passed + 1))
    else
        echo "FAIL $2"
        failed=$((failed + 1))
    fi
}

# expect <description> <regex every failing check must match> <inf> [expected]
expect() {
    local description=$1 pattern=$2 file=$3 list=${4:-$expected}
    local output status failures strays
    output=$("$here/check_inf.sh" "$file" "$list" 2>&1)
    status=$?
    failures=$(grep -c '^FAIL ' <<<"$output")
    strays=$(grep '^FAIL ' <<<"$output" | grep -cvE "^FAIL ($pattern)")
    if [[ $status -ne 0 && $failures -gt 0 && $strays -eq 0 ]]; then
        result 0 "$description"
    else
        result 1 "$description (exit $status, $failures failing checks, $strays unexpected)"
        sed 's/^/    | /' <<<"$output"
    fi
}

# mutate <name> <sed script>: a copy of the INF with one fault.
mutate() {
    sed "$2" "$inf" >"$work/$1.inf"
}

output=$("$here/check_inf.sh" "$inf" "$expected" 2>&1)
status=$?
[[ $status -eq 0 ]]
result $? "driver/VantriCamera.inf passes every check"
[[ $status -eq 0 ]] || sed 's/^/    | /' <<<"$output"

mutate no-camera-interface '/^AddInterface = %KSCATEGORY_VIDEO_CAMERA%/d'
expect "a missing category interface is refused" "the interfaces' categories" \
    "$work/no-camera-interface.inf"

mutate wrong-reference 's/^ReferenceString *= "GLOBAL"/ReferenceString = "Global2"/'
expect "a reference string other than the factory's is refused" \
    'interface .* has the reference string' "$work/wrong-reference.inf"

mutate undefined-string '/^KSCATEGORY_CAPTURE *=/d'
expect "a %string% with no definition is refused" \
    "every %string% used|the interfaces' categories|interface %KSCATEGORY_CAPTURE%" \
    "$work/undefined-string.inf"

mutate other-binary 's/^ServiceBinary = %13%\\VantriCamera.sys/ServiceBinary = %13%\\Other.sys/'
expect "a service binary other than the built .sys is refused" "ServiceBinary" \
    "$work/other-binary.inf"

mutate boot-start 's/^StartType     = 3/StartType     = 0/'
expect "a service start type other than demand start is refused" "StartType is 3" \
    "$work/boot-start.inf"

mutate lost-addreg 's/^\[VantriCamera.Interface.AddReg\]/[VantriCamera.Interface.Registry]/'
expect "a referenced section that does not exist is refused" \
    'section \[VantriCamera.Interface.AddReg\]|interface .* is named|interface .* CLSID|every section is used' \
    "$work/lost-addreg.inf"

mutate unnamed 's/^VantriCamera.FriendlyName = "Vantri Camera"/VantriCamera.FriendlyName = "Camera"/'
expect "an interface friendly name other than \"Vantri Camera\" is refused" 'interface .* is named' \
    "$work/unnamed.inf"

mutate no-ks-include '/^Include   = ks.inf, kscaptur.inf/d'
expect "an install section without the class library's INFs is refused" \
    "\[VantriCamera.NT\] includes" "$work/no-ks-include.inf"

mutate image-guid 's/^ClassGuid   = .*/ClassGuid   = {6bdd1fc6-810f-11d0-bec7-08002be2092f}/'
expect "a class GUID that is not the class's is refused" '\[Version\] Class' "$work/image-guid.inf"

mutate pci-device 's/^%VantriCamera.DeviceDesc% = VantriCamera, Root\\VantriCamera/%VantriCamera.DeviceDesc% = VantriCamera, PCI\\VEN_1234/'
expect "a device that is not root-enumerated is refused" 'a root-enumerated device' \
    "$work/pci-device.inf"

mutate no-copy '/^CopyFiles = VantriCamera.CopyFiles/d'
expect "a driver binary that is never copied is refused" \
    'VantriCamera.sys is copied|ServiceBinary.s directory|every section is used' "$work/no-copy.inf"

# The expected values must agree with the driver's own descriptor.
sed 's/^category {E5323777-F976-4F5B-9B55-B94699C46E44}$/category {00000000-0000-0000-0000-000000000001}/' \
    "$expected" >"$work/expected-other-category.txt"
expect "an expected category the descriptor does not have is refused" \
    "the interfaces' categories|the filter's categories in" "$inf" "$work/expected-other-category.txt"

sed -n '/CaptureFilterCategories\[3\] = {/,/};/p' "$repo/driver/pin/Descriptors.cpp" |
    grep -v KSCATEGORY_VIDEO_CAMERA >"$work/TwoCategories.cpp"
sed "s|^descriptor-categories .*|descriptor-categories $work/TwoCategories.cpp CaptureFilterCategories|" \
    "$expected" >"$work/expected-two-categories.txt"
expect "a descriptor whose categories differ from the INF's is refused" \
    "the filter's categories in" "$inf" "$work/expected-two-categories.txt"

sed 's/^sys VantriCamera.sys$/sys Vantri.sys/' "$expected" >"$work/expected-other-sys.txt"
expect "an INF for another binary than the build links is refused" \
    'VantriCamera.sys is copied|Vantri.sys is copied|ServiceBinary|the kernel build links' \
    "$inf" "$work/expected-other-sys.txt"

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
