#!/usr/bin/env bash
# Lints every manual page in the given folder with `mandoc -Tlint`; any message fails the check.
# mandoc runs inside the folder, where it finds the pages that the others refer to.
set -euo pipefail
cd "${1:-$(dirname "$0")}"
if ! command -v mandoc >/dev/null; then
    echo "mandoc is not installed: the manual pages are not linted"
    exit 77
fi
shopt -s nullglob
pages=(*.[1-9])
if [ ${#pages[@]} -eq 0 ]; then
    echo "no manual page in $PWD"
    exit 1
fi
status=0
messages=$(mandoc -Tlint "${pages[@]}" 2>&1) || status=$?
if [ -n "$messages" ] || [ $status -ne 0 ]; then
    echo "$messages"
    echo "mandoc -Tlint found faults in the manual pages (status $status)"
    exit 1
fi
echo "mandoc -Tlint: ${#pages[@]} pages, no message"
