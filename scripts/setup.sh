#!/usr/bin/env bash
# Installs what pravlin needs to build, test and run its demo on a fresh
# Debian machine: the Debian packages of scripts/debian-packages.txt, then a
# virtual environment (see scripts/venv.sh) holding the build requirements and
# the project with its extras, built from this checkout.
set -euo pipefail
cd "$(dirname "$0")/.."

# The extras installed into the venv; `test` pulls in every other one the
# suite and the demo need.
# Programs that the tests and benchmarks run with the system's Python
# (/usr/bin/python3: GTK windows through gi, the node-by-node AT-SPI reader
# through pyatspi) take those modules from Debian's python3-gi and
# python3-pyatspi, in scripts/debian-packages.txt.
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
# Only the project itself is built without isolation, in the venv: meson-python
# finds numpy's headers and ninja there (ninja is asked for only by isolated
# builds; without it here the build would take whatever ninja PATH has). Its
# dependencies are installed first as pip installs anything, each source
# distribution among them built in an isolated environment with the build tools
# it asks for, so nothing depends on what the venv happens to hold.
mapfile -t build_requires < <("$py" -c '
import tomllib
with open("pyproject.toml", "rb") as f:
    print("\n".join(tomllib.load(f)["build-system"]["requires"]))')
mapfile -t requirements < <("$py" - "$extras" <<'PY'
# The requirements of the project's extras, its own extras named inside them
# (pravlin[demo,...]) followed through to theirs.
import re, sys, tomllib
with open("pyproject.toml", "rb") as f:
    project = tomllib.load(f)["project"]
extras, seen, out = sys.argv[1].split(","), set(), []
while extras:
    extra = extras.pop()
    if extra in seen:
        continue
    seen.add(extra)
    for req in project["optional-dependencies"][extra]:
        own = re.fullmatch(r"%s\[([^]]*)\]" % re.escape(project["name"]), req.strip())
        if own:
            extras += [e.strip() for e in own.group(1).split(",")]
        elif req not in out:
            out.append(req)
print("\n".join(project.get("dependencies", []) + out))
PY
)
pip=("$py" -m pip install -q --disable-pip-version-check)
"${pip[@]}" "${build_requires[@]}" ninja "${requirements[@]}"
"${pip[@]}" --no-build-isolation --no-deps ".[$extras]"
"$py" -m pip check --disable-pip-version-check >/dev/null || { "$py" -m pip check; exit 1; }
