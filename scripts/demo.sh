#!/usr/bin/env bash
# Sets everything up, then runs the demo; arguments go to demo/demo.py.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
exec python3 demo/demo.py "$@"
