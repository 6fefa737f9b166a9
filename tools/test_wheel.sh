#!/usr/bin/env bash
# Installs one built wheel, and nothing from this source tree, into a fresh virtual
# environment and runs the test suite against it from outside the source tree.
#
#   tools/test_wheel.sh dist/kelvara-*.whl [--bare]
#
# With the test extra by default (the peers the suite cross-checks against); --bare
# installs only pytest and hypothesis beside the wheel, and the peers' tests skip.
# The environment lives in a temporary folder, removed at the end.
set -euo pipefail
[ $# -ge 1 ] || { echo "usage: $0 WHEEL [--bare]" >&2; exit 2; }
wheel=$(realpath "$1")
root=$(realpath "$(dirname "$0")/..")
python=${PYTHON:-python3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$python" -m venv "$work/venv"
pip=("$work/venv/bin/python" -m pip install -q)
if [ "${2:-}" = --bare ]; then
    "${pip[@]}" "$wheel" "pytest>=7" "hypothesis>=6"
else
    "${pip[@]}" "kelvara[test] @ file://$wheel"
fi
cd "$work"
# The package must come from the wheel, never from the source tree.
"$work/venv/bin/python" - "$root" <<'PY'
import sys, kelvara, kelvara._kelvara as native
for module in (kelvara, native):
    if module.__file__.startswith(sys.argv[1]):
        sys.exit(f"kelvara was imported from the source tree: {module.__file__}")
print("kelvara", kelvara.__version__, "from", native.__file__)
PY
"$work/venv/bin/python" -m pytest "$root/tests" -q -x -p no:cacheprovider
