#!/usr/bin/env bash
# Installs what the build needs, builds the standalone app and launches it.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

bash "$root/tools/setup.sh"
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$root/build" -j "$(nproc)" --target TolvanePlugin_Standalone

exec "$root/build/TolvanePlugin_artefacts/RelWithDebInfo/Standalone/Brevant Tolvane" "$@"
