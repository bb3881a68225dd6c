#!/usr/bin/env bash
# Set-up on a fresh machine, build, and the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh build -DHB_BUILD_TESTS=ON -DHB_BUILD_BENCH=ON
ctest --test-dir build --output-on-failure --parallel "$(nproc)"
