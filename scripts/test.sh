#!/usr/bin/env bash
# Sets everything up and runs the whole test suite from the venv.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh || exit 1
. scripts/venv.sh
# -P: the checkout is not put on sys.path, so the installed packages are the
# ones tested (pravlin_session in the checkout has no seat holder built).
# PRAVLIN_CHECK_DEPENDENCIES: the run fails if a test reached a program or a
# Python package that setup.sh does not install, or was skipped.
PRAVLIN_CHECK_DEPENDENCIES=1 "$venv/bin/python" -P -m pytest -p no:cacheprovider -q tests "$@"
rc=$?
if [ $rc -eq 5 ]; then
  echo "no tests were collected" >&2
  exit 1
fi
exit $rc
