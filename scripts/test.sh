#!/usr/bin/env bash
# Builds the library with its tests and runs the whole test suite.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
ensure_packages
configure_and_build "$ROOT/build" -DMORVANE_BUILD_TESTS=ON
ctest --test-dir "$ROOT/build" -j "$JOBS" --output-on-failure
