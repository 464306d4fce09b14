#!/usr/bin/env bash
# Installs whatever the build needs and is missing: Debian packages, the .venv on CPython 3.12,
# and the Python build and test tools. Cheap when everything is already there. Says what it does;
# on a terminal apt's and pip's own progress shows too, elsewhere (CI, logs) they stay quiet.
set -euo pipefail
cd "$(dirname "$0")/.."

say() { echo "==> $*"; }
quiet=(-qq)
pip_quiet=(-q)
if [ -t 1 ]; then
    quiet=()
    pip_quiet=()
fi

# lnav: the log reader's tests check the format it prints for lnav with the real lnav; strace:
# the tests count what log calls wait for (they never sleep, nor wait for another process).
apt_packages=(libspdlog-dev libfmt-dev libeigen3-dev libgtest-dev lnav strace ${EXTRA_APT_PACKAGES:-})
missing=()
for package in "${apt_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
    say "installing Debian packages: ${missing[*]}"
    sudo_cmd=()
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update "${quiet[@]}"
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y "${quiet[@]}" "${missing[@]}"
fi

find_python312() {
    # A pyenv shim named python3.12 may be on PATH without working, so each candidate must run.
    local root candidate
    root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
    for candidate in "$(command -v python3.12 || true)" "$root"/versions/3.12*/bin/python3.12; do
        if [ -x "$candidate" ] && "$candidate" -c 'import sys; assert sys.version_info[:2] == (3, 12)' 2>/dev/null; then
            echo "$candidate"
            return
        fi
    done
    echo "bootstrap: no CPython 3.12 found (tried python3.12 on PATH and pyenv)" >&2
    exit 1
}

if ! .venv/bin/python -c 'import sys; assert sys.version_info[:2] == (3, 12)' 2>/dev/null; then
    python312=$(find_python312)
    say "creating .venv on $python312"
    rm -rf .venv
    "$python312" -m venv .venv
fi

# Reinstall the tools only when the requirements changed since the last install.
stamp=.venv/.requirements-installed
if ! cmp -s requirements-dev.txt "$stamp"; then
    say "installing the Python tools of requirements-dev.txt into .venv"
    .venv/bin/python -m pip install "${pip_quiet[@]}" --disable-pip-version-check -r requirements-dev.txt
    cp requirements-dev.txt "$stamp"
fi
