#!/usr/bin/env bash
# Set-up on a fresh machine, build (library, tools, VP SDK), and the main job:
# the SDK's hello program run by hbrun on the embedded virtual board.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh build -DHB_BUILD_TESTS=OFF -DHB_BUILD_BENCH=OFF
./build/tools/hbrun/hbrun build/vp/hello.exe "$@"
