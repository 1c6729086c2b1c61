#!/usr/bin/env bash
# Checks driver/VantriCamera.inf for complete, consistent sections that agree
# with the driver's descriptor and the built .sys (see check_inf.py).
# Usage: check_inf.sh <VantriCamera.inf> [<expected.txt>]
# Prints one line per check and "N passed, M failed".
exec python3 "$(dirname "${BASH_SOURCE[0]}")/check_inf.py" "$@"
