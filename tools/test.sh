#!/usr/bin/env bash
# make test: the test suite on every CPython >= 3.12 found (tools/pythons.sh),
# each in its own virtual environment .venv/<version> with the project and
# its test extra installed. Every interpreter is tried; the run fails if any
# of them failed, and says which.
set -euo pipefail
cd "$(dirname "$0")/.."

pythons=$(tools/pythons.sh)
failed=()
for python in $pythons; do
    echo "=== $python"
    if ! venv_python=$(tools/venv.sh "$python" '[test]'); then
        echo "=== $python: installing the project failed"
        failed+=("$python (install)")
        continue
    fi
    status=0
    "$venv_python" -m pytest tests || status=$?
    if [ "$status" = 5 ]; then
        # pytest's "no tests collected" is not a pass.
        echo "=== $python: no tests collected"
        failed+=("$python (no tests)")
    elif [ "$status" != 0 ]; then
        echo "=== $python: pytest exited with status $status"
        failed+=("$python (tests)")
    fi
done

echo
if [ ${#failed[@]} -gt 0 ]; then
    echo "make test failed on:"
    printf '  %s\n' "${failed[@]}"
    exit 1
fi
echo "make test passed on:"
printf '  %s\n' $pythons
