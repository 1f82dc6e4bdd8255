#!/usr/bin/env bash
# The unit's sandbox on the live system: systemd-analyze security rates its exposure no worse
# than 2.5.
set -uo pipefail
# shellcheck source=tests/vm/lib.sh
source "${QV_VM_TESTS:-$(dirname "$0")}/lib.sh" || exit 1

report=$(systemd-analyze security --no-pager "$unit.service" 2>&1) || true
line=$(grep "Overall exposure level for $unit.service" <<<"$report") ||
    fail "no overall exposure level in: $(tail -n 5 <<<"$report")"
echo "$line"
level=$(sed -n 's/.*: \([0-9][0-9]*\.[0-9]\).*/\1/p' <<<"$line")
[[ -n "$level" ]] || fail "cannot read the level from: $line"
awk -v l="$level" 'BEGIN { exit !(l <= 2.5) }' || fail "exposure $level is worse than 2.5"
ok "exposure $level (no worse than 2.5)"
