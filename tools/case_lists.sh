#!/usr/bin/env bash
# The README's lists of peercheck's cases are written from the catalogue itself, one list a
# role, between the lines "<!-- cases: ROLE -->" and "<!-- end of cases -->".
#   bash tools/case_lists.sh PEERCHECK           # rewrite them in README.md
#   bash tools/case_lists.sh --check PEERCHECK   # exit 1, saying how to fix it, when they differ
set -euo pipefail
cd "$(dirname "$0")/.."

check=0
if [ "${1:-}" = --check ]; then
    check=1
    shift
fi
peercheck=${1:?usage: tools/case_lists.sh [--check] PEERCHECK}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Each role's block: a summary line with the count, then the list in a fence.
for role in client server gatekeep lockbox latchkey; do
    "$peercheck" "$role" --list >"$work/$role.list"
    {
        echo "<details><summary><code>$role</code>: $(wc -l <"$work/$role.list") cases</summary>"
        echo
        echo '```'
        cat "$work/$role.list"
        echo '```'
        echo
        echo '</details>'
    } >"$work/$role.block"
done

# The README with every block between its markers replaced.
awk -v dir="$work" '
    /^<!-- cases: [a-z]+ -->$/ {
        print
        role = $3
        while ((getline line < (dir "/" role ".block")) > 0) print line
        skipping = 1
        next
    }
    /^<!-- end of cases -->$/ { skipping = 0 }
    !skipping { print }
' README.md >"$work/README.md"

if [ $check -eq 1 ]; then
    if ! diff -u README.md "$work/README.md" >"$work/diff"; then
        head -40 "$work/diff"
        echo "The README's case lists differ from the catalogue. Rewrite them with:"
        echo "  bash tools/case_lists.sh $peercheck"
        exit 1
    fi
    exit 0
fi
cp "$work/README.md" README.md
