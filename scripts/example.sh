#!/usr/bin/env bash
# Builds the library and the Python module, then runs the C++ example program and the Python one.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
ensure_packages
configure_and_build "$ROOT/build" -DMORVANE_BUILD_TESTS=OFF
"$ROOT/build/examples/morvane_example"
PYTHONPATH="$ROOT/build/python" "$PYTHON" "$ROOT/examples/example.py"
