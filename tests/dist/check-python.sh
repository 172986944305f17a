#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Python module as a user gets it: `pip install` of examples/python into
# a fresh virtual environment, offline, then its tests run against the
# emulator from outside the source tree, so that they import the installed
# copy.
#
#   check-python.sh BUILD_DIR SOURCE_DIR
# Environment: PYTHON (python3), TIVAX_LIBRARY and TIVAX_EMULATOR (the
# build's library and emulator), TIVAX_PYTHON_PRELOAD (a sanitizer runtime
# the test interpreter must load first).
set -euo pipefail
. "$(dirname "$0")/dist_common.sh" "$@"
PYTHON=${PYTHON:-python3}

"$PYTHON" -m venv "$WORK/venv" >"$WORK/venv.log" 2>&1 ||
  fail "python3 -m venv: $(cat "$WORK/venv.log") (Debian: python3-venv)"
# --no-index: nothing may come from a package index.
"$WORK/venv/bin/python" -m pip install --no-index --disable-pip-version-check "$SOURCE/examples/python" \
  >"$WORK/pip.log" 2>&1 || fail "pip install: $(cat "$WORK/pip.log")"

cd "$WORK"
installed=$("$WORK/venv/bin/python" -c 'import tivax, os; print(os.path.dirname(tivax.__file__), tivax.__version__)')
case "$installed" in
  "$WORK/venv/"*" $VERSION") ;;
  *) fail "the venv's tivax module (path, version) is '$installed'; expected version $VERSION in $WORK/venv" ;;
esac
[ -e "${installed% *}/py.typed" ] || fail "py.typed not installed: no type hints for users"
note "pip install into a fresh venv: ok ($installed)"

env ${TIVAX_PYTHON_PRELOAD:+LD_PRELOAD=$TIVAX_PYTHON_PRELOAD ASAN_OPTIONS=detect_leaks=0} \
  PYTHONDONTWRITEBYTECODE=1 "$WORK/venv/bin/python" -m unittest discover -v -s "$SOURCE/examples/python/tests"
echo "python check passed"
