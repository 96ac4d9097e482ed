#!/usr/bin/env bash
# Builds the library, the Python module and the tests, then runs the C++ tests and the Python tests.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
ensure_packages
configure_and_build "$ROOT/build" -DMORVANE_BUILD_TESTS=ON
ctest --test-dir "$ROOT/build" -j "$JOBS" --output-on-failure
run_pytest "$PYTHON" "$ROOT/build/python"
