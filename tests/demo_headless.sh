#!/usr/bin/env bash
# The headless demo end to end, with an account switch on the way (demo_switch_account.sh),
# and then a look for anything it left running: every process the demo starts carries its mark
# in the environment.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
tag="borvane-demo-test-$$"
BORVANE_DEMO_TAG=$tag BORVANE_DEMO_AFTER="$root/tests/demo_switch_account.sh" \
    "$root/scripts/run.sh" --headless --no-build
rc=$?
left=()
for f in /proc/[0-9]*/environ; do
    if grep -qzxF -- "BORVANE_DEMO_RUN=$tag" "$f" 2>/dev/null; then
        f=${f#/proc/}
        left+=("${f%/environ}")
    fi
done
if [ ${#left[@]} -gt 0 ]; then
    echo "demo_headless: the demo left processes behind:" >&2
    ps -o pid=,args= -p "$(IFS=,; echo "${left[*]}")" >&2
    exit 1
fi
exit $rc
