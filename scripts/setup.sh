#!/usr/bin/env bash
# Installs what pravlin needs to build, test and run its demo on a fresh
# Debian machine: the Debian packages of scripts/debian-packages.txt, then a
# virtual environment (see scripts/venv.sh) holding the build requirements and
# the project with its extras, built from this checkout.
set -euo pipefail
cd "$(dirname "$0")/.."

# The extras installed into the venv; `test` pulls in every other one the
# suite and the demo need.
extras=test

mapfile -t apt_packages < <(sed 's/#.*//' scripts/debian-packages.txt | tr -s ' \t' '\n' | sed '/^$/d')
missing=()
for p in "${apt_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

. scripts/venv.sh
# A venv whose interpreter has gone (a removed or upgraded base Python) is made anew.
if ! "$venv/bin/python" -c '' 2>/dev/null; then
  rm -rf "$venv"
  "${PRAVLIN_PYTHON:-python3}" -m venv "$venv"
fi
py=$venv/bin/python
# The build runs without isolation, in the venv: its requirements come first,
# with ninja, which meson-python runs but asks for only in isolated builds
# (without it here, the build would take whatever ninja PATH has).
mapfile -t build_requires < <("$py" -c '
import tomllib
with open("pyproject.toml", "rb") as f:
    print("\n".join(tomllib.load(f)["build-system"]["requires"]))')
"$py" -m pip install -q --disable-pip-version-check "${build_requires[@]}" ninja
"$py" -m pip install -q --disable-pip-version-check --no-build-isolation ".[$extras]"
