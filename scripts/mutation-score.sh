#!/usr/bin/env bash
# Mutation score of the product code: mutation-score.sh [--seed N] [--count N]
# [--timeout S] [--build DIR] [--labels REGEX] [--list] [FOLDERS OR FILES...]
# (README, "Development"). Builds DIR incrementally once per mutant.
set -euo pipefail
exec python3 "$(dirname "$0")/mutation_score.py" "$@"
