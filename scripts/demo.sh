#!/usr/bin/env bash
# Installs, builds, and runs the project's main job.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

bash scripts/setup.sh
bash scripts/build.sh

./build/corvane_info
