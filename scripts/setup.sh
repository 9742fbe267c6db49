#!/usr/bin/env bash
# Installs everything the project needs on a fresh Debian 12 or 13 machine:
# the system packages (only those missing, so a second run is quick) and a
# Python 3.13 virtual environment in .venv.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

packages=(
    build-essential cmake ninja-build pkg-config git ccache
    libzmq3-dev cppzmq-dev
    libflatbuffers-dev flatbuffers-compiler
    rapidjson-dev
    libboost-log-dev libboost-filesystem-dev libboost-thread-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    samtools
    libminimap2-dev zlib1g-dev
    clang libclang-rt-dev
)

# libclang-rt-dev is a virtual name on some releases; pick the versioned
# runtime that matches the default clang.
resolve_clang_rt() {
    local ver
    ver=$(apt-cache depends clang 2>/dev/null | sed -n 's/.*Depends: clang-\([0-9][0-9]*\)$/\1/p' | head -n 1)
    if [ -n "$ver" ]; then echo "libclang-rt-${ver}-dev"; else echo ""; fi
}

missing=()
for p in "${packages[@]}"; do
    [ "$p" = libclang-rt-dev ] && continue
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

apt_updated=0
apt_update_once() {
    if [ "$apt_updated" = 0 ]; then
        apt-get update -qq
        apt_updated=1
    fi
}

if [ "${#missing[@]}" -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    apt_update_once
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

rt=$(resolve_clang_rt)
if [ -n "$rt" ] && ! dpkg-query -W -f='${Status}' "$rt" 2>/dev/null | grep -q "install ok installed"; then
    echo "setup: installing $rt"
    apt_update_once
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$rt" >/dev/null
fi

# Python 3.13: Debian 13 ships it; Debian 12 machines carry it under pyenv.
# A python3.13 on PATH may be a pyenv shim that fails, so every candidate is
# tried for real.
is_py313() { "$1" -c 'import sys; sys.exit(0 if sys.version_info[:2] == (3, 13) else 1)' >/dev/null 2>&1; }

find_python() {
    local c
    for c in /usr/bin/python3.13 \
             $( (command -v pyenv >/dev/null && ls -d "$(pyenv root)"/versions/3.13*/bin/python3.13) 2>/dev/null | sort -V -r) \
             $(ls -d "$HOME"/.pyenv/versions/3.13*/bin/python3.13 2>/dev/null | sort -V -r) \
             "$(command -v python3.13 || true)"; do
        [ -n "$c" ] && [ -x "$c" ] && is_py313 "$c" && { echo "$c"; return 0; }
    done
    return 1
}

py=$(find_python || true)
if [ -z "$py" ]; then
    echo "setup: no Python 3.13 found, trying Debian's packages"
    apt_update_once
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq python3.13 python3.13-venv python3.13-dev >/dev/null
    py=$(find_python) || { echo "setup: Python 3.13 is not available on this machine" >&2; exit 1; }
fi
if [ -x /usr/bin/python3.13 ] && [ "$py" = /usr/bin/python3.13 ]; then
    for p in python3.13-venv python3.13-dev; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || {
            apt_update_once
            DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$p" >/dev/null
        }
    done
fi

venv="$root/.venv"
if [ ! -x "$venv/bin/python" ] || ! is_py313 "$venv/bin/python"; then
    echo "setup: creating $venv from $py"
    rm -rf "$venv"
    "$py" -m venv "$venv"
fi
if ! "$venv/bin/python" -c 'import numpy, pybind11, pytest, scikit_build_core' >/dev/null 2>&1; then
    echo "setup: installing Python packages"
    "$venv/bin/python" -m pip install -q --upgrade pip
    "$venv/bin/python" -m pip install -q numpy pybind11 pytest scikit-build-core
fi

# --- The Python module -------------------------------------------------
# Builds the library and the module into a wheel and installs it into
# $venv. The build folder (build-wheel/) persists and build isolation is
# off, so a rebuild compiles only what changed; a stamp of the sources
# skips the install altogether when nothing did.
tavrix_stamp="$venv/.tavrix-sources"
tavrix_sources=$(cd "$root" && find CMakeLists.txt pyproject.toml cmake apps common corvane data_wrappers \
        interfaces ipc_tools python -type f -print0 | sort -z | xargs -0 sha1sum | sha1sum | cut -d' ' -f1)
if [ ! -f "$tavrix_stamp" ] || [ "$(cat "$tavrix_stamp")" != "$tavrix_sources" ] ||
        ! (cd / && "$venv/bin/python" -c 'import tavrix' >/dev/null 2>&1); then
    echo "setup: building and installing the Python module into $venv"
    (cd "$root" && "$venv/bin/python" -m pip install -q --no-build-isolation --no-deps .)
    echo "$tavrix_sources" > "$tavrix_stamp"
fi
