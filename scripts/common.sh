# Shared set-up of the build scripts: installs the Debian packages the build needs when they are missing.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
JOBS="$(nproc 2>/dev/null || echo 4)"

# Debian's interpreter, named explicitly: the first python3 on PATH may lack Debian's packages.
PYTHON=/usr/bin/python3

PACKAGES=(g++ make cmake libcereal-dev libgtest-dev libbenchmark-dev pybind11-dev python3-dev python3-pytest
          python3-numpy python3-hypothesis python3-exceptiongroup python3-tomli)

ensure_packages() {
    local missing=()
    for package in "${PACKAGES[@]}"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$package")
        fi
    done
    if ((${#missing[@]})); then
        echo "Installing ${missing[*]}"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update
        apt-get install -y --no-install-recommends "${missing[@]}"
    fi
}

# configure_and_build <build dir> [cmake options...]; MORVANE_WERROR=ON in the environment makes warnings errors.
configure_and_build() {
    local dir="$1"
    shift
    cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORVANE_WERROR="${MORVANE_WERROR:-OFF}" "$@"
    cmake --build "$dir" -j "$JOBS"
}

# run_pytest <interpreter> <module dir> [pytest options...]: the Python tests against the module in <module dir>.
run_pytest() {
    local python="$1" module_dir="$2"
    shift 2
    PYTHONPATH="$module_dir${PYTHONPATH:+:$PYTHONPATH}" "$python" -m pytest -q "$ROOT/tests/python" "$@"
}
