#!/usr/bin/env bash
# Proves the ABI check can fail: with three host figures reported 8 bytes off
# (a type's size, a nested field's offset, a field's width; as a host header
# with a wrong layout would give them), run_abi_check.sh must fail and name
# exactly those three, with the platform's real figures; a name that matches
# no figure must be refused rather than skewing nothing.
#
# Usage: abi_self_test.sh <host-build-dir>
set -uo pipefail

build_dir=${1:?usage: $0 <host-build-dir>}
check=$(dirname "${BASH_SOURCE[0]}")/run_abi_check.sh
passed=0
failed=0

expect() {  # expect <description> <condition-status>
    if [[ $2 -eq 0 ]]; then
        echo "ok:   $1"
        passed=$((passed + 1))
    else
        echo "FAIL: $1"
        failed=$((failed + 1))
    fi
}

output=$("$check" "$build_dir" --skew KSSTREAM_HEADER.PresentationTime.Numerator \
    --skew KS_DATARANGE_VIDEO --skew KSDEVICE.Started:size 2>&1)
status=$?
echo "$output" | sed 's/^/    | /'
[[ $status -eq 1 ]]
expect "a skewed list fails the check (exit $status)" $?
grep -qx 'abi: KSSTREAM_HEADER.PresentationTime.Numerator offset differs: kernel 16, host 24' \
    <<<"$output"
expect "the skewed nested offset is named with both figures" $?
grep -qx 'abi: KS_DATARANGE_VIDEO size differs: kernel 296, host 304' <<<"$output"
expect "the skewed type size is named with both figures" $?
grep -qx 'abi: KSDEVICE.Started size differs: kernel 1, host 9' <<<"$output"
expect "the skewed field width is named with both figures" $?
grep -q '^abi: 3 figures of [0-9]* types and [0-9]* fields differ$' <<<"$output"
expect "exactly the three skewed figures differ" $?

"$check" "$build_dir" --skew KSSTREAM_HEADER.NoSuchField >/dev/null 2>&1
status=$?
[[ $status -eq 2 ]]
expect "a skew naming no list entry is refused (exit $status)" $?

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
