#!/usr/bin/env bash
# Installs what is needed, builds, and runs the console in the foreground on port 8117
# (HBR_PORT to change it) with the built-in simulated Hyper-V host as the local machine.
# Stop it with any key or Ctrl+C.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
cd "$here"
bash scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j"$(nproc)"

port="${HBR_PORT:-8117}"
export HBR_STATE_DIR="${HBR_STATE_DIR:-$here/build/state}"
mkdir -p "$HBR_STATE_DIR"
echo
echo "VmHarbor console: http://localhost:${port}/"
echo "Login: administrator / bravo (the default password, until you change it)"
echo
exec build/hbr run-exe -demo -name demo -url "http://+:${port}/" -dbpath "$here/build/demo.db"
