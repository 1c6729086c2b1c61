#!/usr/bin/env bash
# Proves the ABI check can fail: with the host figures of one size and one
# nested offset reported 8 bytes off (as a host header with a wrong layout
# would give them), run_abi_check.sh must fail and name exactly those two,
# with the platform's real figures; an unknown name must be refused rather
# than skewing nothing.
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

output=$("$check" "$build_dir" --skew KSSTREAM_HEADER.DataUsed --skew KS_DATARANGE_VIDEO 2>&1)
status=$?
echo "$output" | sed 's/^/    | /'
[[ $status -eq 1 ]]
expect "a skewed list fails the check (exit $status)" $?
grep -qx 'abi: KSSTREAM_HEADER.DataUsed differs: kernel 36, host 44' <<<"$output"
expect "the skewed offset is named with both figures" $?
grep -qx 'abi: KS_DATARANGE_VIDEO differs: kernel 296, host 304' <<<"$output"
expect "the skewed size is named with both figures" $?
grep -q '^abi: 2 of [0-9]* types and [0-9]* fields differ$' <<<"$output"
expect "exactly the two skewed entries differ" $?

"$check" "$build_dir" --skew KSSTREAM_HEADER.NoSuchField >/dev/null 2>&1
status=$?
[[ $status -eq 2 ]]
expect "a skew naming no list entry is refused (exit $status)" $?

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
