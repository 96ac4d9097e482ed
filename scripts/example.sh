#!/usr/bin/env bash
# Builds the library and runs its example program.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
ensure_packages
configure_and_build "$ROOT/build" -DMORVANE_BUILD_TESTS=OFF
"$ROOT/build/examples/morvane_example"
