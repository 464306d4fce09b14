#!/usr/bin/env bash
# Builds the wheel in isolation, installs it into a fresh CPython 3.12 venv and runs the Python
# tests (the demo among them) there, from outside the source tree; then checks that nothing
# installed points into the source or build tree.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

python312=$("$source_dir/.venv/bin/python" -c 'import sys; print(sys._base_executable)')
"$source_dir/.venv/bin/python" -m pip wheel -q --disable-pip-version-check "$source_dir" -w "$work/dist"
"$python312" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install -q --disable-pip-version-check "$work"/dist/*.whl \
    -r "$source_dir/requirements-dev.txt"

site=$("$work/venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
if grep -rIl -e "$source_dir" "$site/foundation.pyi" "$site/foundation-stubs" "$site/varnel_foundation"; then
    echo "check_wheel: installed files name the source tree" >&2
    exit 1
fi
if readelf -d "$site"/foundation.cpython-312-*.so | grep -E 'R(UN)?PATH' | grep -v '\[\$ORIGIN/varnel_foundation/lib\]'; then
    echo "check_wheel: unexpected run path in the extension" >&2
    exit 1
fi

cp -r "$source_dir/tests" "$source_dir/examples" "$work"
cd "$work"
"$work/venv/bin/python" -m pytest -q -p no:cacheprovider tests/python
