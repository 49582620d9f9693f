#!/usr/bin/env bash
# Sets everything up, then runs the demo from the venv; arguments go to demo/demo.py.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
. scripts/venv.sh
exec "$venv/bin/python" demo/demo.py "$@"
