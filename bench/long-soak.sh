#!/usr/bin/env bash
# The long soak of the play update: a million frames of random input over eight
# seeds, built with AddressSanitizer and UndefinedBehaviorSanitizer.
#   bench/long-soak.sh [frames] [seeds]
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh --test
cmake -S . -B build/soak -DCMAKE_BUILD_TYPE=Debug -DPV_SANITIZE=address,undefined \
      -DPV_TESTS=OFF >/dev/null
cmake --build build/soak --target soak -j"$(nproc)"
build/soak/bench/soak "${1:-1000000}" "${2:-8}"
