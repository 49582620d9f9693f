#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer
# and runs the whole test suite against that build, from the venv. Run after
# setup.sh.
set -uo pipefail
cd "$(dirname "$0")/.."
. scripts/venv.sh
build=${PRAVLIN_ASAN_BUILD:-build/sanitize}
if [ ! -f "$build/build.ninja" ]; then
  # b_lundef=false: the extension leaves Python's symbols to the interpreter.
  meson setup "$build" . -Db_sanitize=address,undefined -Db_lundef=false -Dbuildtype=debugoptimized \
    -Dcpp_args=-fno-sanitize-recover=undefined >/dev/null || exit 1
fi
meson compile -C "$build" >/dev/null || exit 1

# The interpreter is not built with ASan: the runtime has to come first.
# Python keeps its objects until exit, so leak reports would only list those;
# leaks of our own show up as growth in the soak benchmark instead.
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export PYTHONPATH="$PWD/$build${PYTHONPATH:+:$PYTHONPATH}"
export PRAVLIN_SANITIZED=1
"$venv/bin/python" -P - <<'PY' || exit 1
import pravlin, pravlin_desktop._native as native
for module in (pravlin, native):
    assert "sanitize" in module.__file__, module.__file__
    print("testing", module.__file__)
PY
"$venv/bin/python" -P -m pytest -p no:cacheprovider -q tests "$@"
rc=$?
[ $rc -eq 5 ] && { echo "no tests were collected" >&2; exit 1; }
exit $rc
