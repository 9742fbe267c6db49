#!/usr/bin/env bash
# Installs what is missing, configures and builds in build/, and runs every
# test. Exits non-zero on any failure.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

bash scripts/setup.sh
bash scripts/build.sh

# The Python code: lint, format and (corvane_cli) types, as pyproject.toml
# configures them.
.venv/bin/ruff check corvane_cli tests/python bench/python
.venv/bin/ruff format --check corvane_cli tests/python bench/python
.venv/bin/mypy

cd build
ctest --output-on-failure -j2 --timeout 300
