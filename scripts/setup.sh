#!/usr/bin/env bash
# Installs everything the project needs on a fresh Debian 12 or 13 machine:
# the system packages (only those missing, so a second run is quick) and a
# Python virtual environment in .venv (3.13, or the newest CPython 3.10+
# when the machine has no 3.13).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

packages=(
    build-essential cmake ninja-build pkg-config git ccache
    libzmq3-dev cppzmq-dev
    libflatbuffers-dev flatbuffers-compiler
    rapidjson-dev
    libboost-log-dev libboost-filesystem-dev libboost-thread-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    samtools valgrind
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

# Headless Chromium, which the report test opens the HTML report in, and a
# font for it. Optional: where neither package can be installed the test
# is skipped and says so.
if ! command -v chromium-headless-shell >/dev/null 2>&1 && ! command -v chromium >/dev/null 2>&1; then
    apt_update_once
    for browser in chromium-headless-shell chromium; do
        if apt-cache show "$browser" >/dev/null 2>&1; then
            echo "setup: installing $browser (for the report test)"
            DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$browser" \
                fonts-dejavu-core >/dev/null || echo "setup: warning: $browser could not be installed" >&2
            break
        fi
    done
fi

# Python 3.13: Debian 13 ships it; Debian 12 machines carry it under pyenv.
# A python3.13 on PATH may be a pyenv shim that fails, so every candidate is
# run for real. Without 3.13 the newest CPython from 3.10 on serves instead.
python_minor() {
    "$1" -c 'import sys; assert sys.implementation.name == "cpython"; print("%d.%d" % sys.version_info[:2])' \
        2>/dev/null
}

pyenv_roots() {
    {
        [ -n "${PYENV_ROOT:-}" ] && echo "$PYENV_ROOT"
        command -v pyenv >/dev/null && pyenv root 2>/dev/null
        [ -n "${HOME:-}" ] && echo "$HOME/.pyenv"
    } | awk '!seen[$0]++'
}

# The first working CPython of version $1 ("3.13"): the system's, then
# pyenv's newest, then whatever PATH names.
find_python() {
    local c root
    local candidates=("/usr/bin/python$1")
    while read -r root; do
        while read -r c; do candidates+=("$c"); done < <(ls -d "$root"/versions/"$1"*/bin/python"$1" 2>/dev/null | sort -V -r)
    done < <(pyenv_roots)
    candidates+=("$(command -v "python$1" || true)")
    for c in "${candidates[@]}"; do
        [ -n "$c" ] && [ -x "$c" ] && [ "$(python_minor "$c")" = "$1" ] && { echo "$c"; return 0; }
    done
    return 1
}

py=$(find_python 3.13 || true)
if [ -z "$py" ] && apt-cache show python3.13 >/dev/null 2>&1; then
    echo "setup: installing python3.13"
    apt_update_once
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq python3.13 python3.13-venv python3.13-dev >/dev/null
    py=$(find_python 3.13 || true)
fi
if [ -z "$py" ]; then
    for v in 3.14 3.12 3.11 3.10; do
        py=$(find_python "$v") && break
    done
    [ -n "$py" ] || { echo "setup: no CPython 3.10 or later found on this machine" >&2; exit 1; }
    echo "setup: warning: no Python 3.13 found; using Python $(python_minor "$py") ($py) instead"
fi

# Debian splits venv and the headers off its interpreters.
case "$py" in
/usr/bin/python3.*)
    for p in "${py#/usr/bin/}-venv" "${py#/usr/bin/}-dev"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || {
            echo "setup: installing $p"
            apt_update_once
            DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$p" >/dev/null
        }
    done
    ;;
esac

# The interpreter a venv was made from: its installation and exact version.
python_identity() {
    "$1" -c 'import sys, platform; print(sys.base_prefix, platform.python_version())' 2>/dev/null
}

venv="$root/.venv"
if [ ! -x "$venv/bin/python" ] || [ "$(python_identity "$venv/bin/python")" != "$(python_identity "$py")" ]; then
    echo "setup: creating $venv from $py"
    rm -rf "$venv"
    "$py" -m venv "$venv"
fi
# The build's and the tests' packages (pyzmq drives the reference server's
# control socket) and the checkers scripts/test.sh runs (ruff, mypy with
# the stubs it needs). What the command-line package (corvane_cli) runs on
# comes with the wheel's "cli" extra, below.
# The checkers are pinned: a newer ruff formats differently and a newer mypy
# finds other things, and a fresh machine must judge the code as ours did.
checkers=(ruff==0.17.6 mypy==2.4.1 types-tqdm==4.70.0.20261201)
if ! "$venv/bin/python" -c 'import numpy, pybind11, pytest, zmq, scikit_build_core' >/dev/null 2>&1 ||
        ! "$venv/bin/python" - "${checkers[@]}" >/dev/null 2>&1 <<'PY'
import sys
from importlib.metadata import version
sys.exit(any(version(name) != wanted for name, wanted in (c.split("==") for c in sys.argv[1:])))
PY
then
    echo "setup: installing Python packages"
    "$venv/bin/python" -m pip install -q --upgrade pip
    "$venv/bin/python" -m pip install -q numpy pybind11 pytest pyzmq scikit-build-core "${checkers[@]}"
fi

# --- The Python module -------------------------------------------------
# Builds the library and the module into a wheel and installs it into
# $venv. The build folder (build-wheel/) persists and build isolation is
# off, so a rebuild compiles only what changed; a stamp of the sources
# skips the install altogether when nothing did.
tavrix_stamp="$venv/.tavrix-sources"
tavrix_sources=$(cd "$root" && find CMakeLists.txt pyproject.toml cmake apps common corvane corvane_cli \
        data_wrappers interfaces ipc_tools python reference_server -type f -not -path 'corvane_cli/bin/*' \
        -not -name '*.pyc' -print0 | sort -z | xargs -0 sha1sum | sha1sum | cut -d' ' -f1)
# Build isolation is off, so pip builds with the packages above and only
# installs the dependencies (the extra's among them) that are missing.
if [ ! -f "$tavrix_stamp" ] || [ "$(cat "$tavrix_stamp")" != "$tavrix_sources" ] ||
        ! (cd / && "$venv/bin/python" -c 'import tavrix, corvane_cli, h5py, hdf5plugin, pysam, tqdm, matplotlib, distributed, inotify_simple' \
            >/dev/null 2>&1); then
    echo "setup: building and installing the Python module into $venv"
    (cd "$root" && "$venv/bin/python" -m pip install -q --no-build-isolation ".[cli]")
    echo "$tavrix_sources" > "$tavrix_stamp"
fi
