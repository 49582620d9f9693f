#!/usr/bin/env bash
# Sets everything up and runs the whole test suite.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh || exit 1
# Run from tests/ so that `import pravlin` finds the installed module, not
# the source tree.
python3 -m pytest -p no:cacheprovider -q tests "$@"
rc=$?
if [ $rc -eq 5 ]; then
  echo "no tests were collected" >&2
  exit 1
fi
exit $rc
