# Shared set-up for the project's commands; sourced, not run.
#
# Environment knobs (all optional):
#   BRAVOLIN_PYTHON  interpreter name to use, e.g. python3.13 (default: the first
#                    working python3.12, python3.13, python3 that is >= 3.12)
#   BRAVOLIN_NUMPY   pip requirement for NumPy in the environment, e.g. "numpy<2"
#   BRAVOLIN_VENV    virtual environment directory (default: .venv)
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

log() { printf '\n==> %s\n' "$*" >&2; }

# Prints the absolute path of an interpreter >= 3.12 named $1, or fails.
# pyenv shims exist for every installed version but only run the active one,
# so a shim that fails to start is skipped and pyenv's own install is tried.
python_named() {
    local name="$1" exe version
    if command -v "$name" >/dev/null 2>&1; then
        exe=$("$name" -c 'import sys; assert sys.version_info >= (3, 12); print(sys.executable)' 2>/dev/null) &&
            { echo "$exe"; return 0; }
    fi
    if command -v pyenv >/dev/null 2>&1; then
        for version in $(pyenv versions --bare 2>/dev/null | sort -rV); do
            exe="$(pyenv root)/versions/$version/bin/$name"
            [ -x "$exe" ] || continue
            "$exe" -c 'import sys; assert sys.version_info >= (3, 12)' 2>/dev/null && { echo "$exe"; return 0; }
        done
    fi
    return 1
}

find_python() {
    local name
    if [ -n "${BRAVOLIN_PYTHON:-}" ]; then
        python_named "$BRAVOLIN_PYTHON" && return 0
        echo "error: $BRAVOLIN_PYTHON (>= 3.12) not found on PATH or in pyenv" >&2
        return 1
    fi
    for name in python3.12 python3.13 python3.14 python3; do
        python_named "$name" && return 0
    done
    echo "error: no Python >= 3.12 found (tried python3.12, python3.13, python3.14, python3)" >&2
    return 1
}

# Makes (or reuses) the virtual environment and sets PY to its interpreter.
make_venv() {
    local base venv="${BRAVOLIN_VENV:-.venv}"
    base=$(find_python)
    if [ -x "$venv/bin/python" ] && [ "$("$venv/bin/python" -c 'import sys; print(sys._base_executable)' 2>/dev/null)" != "$base" ]; then
        log "recreating $venv for $base"
        rm -rf "$venv"
    fi
    if [ ! -x "$venv/bin/python" ]; then
        log "creating $venv with $base"
        "$base" -m venv "$venv"
    fi
    PY="$ROOT/$venv/bin/python"
    export PATH="$ROOT/$venv/bin:$PATH"
    "$PY" -m pip install --quiet --upgrade pip
}

# Installs the runtime dependencies (and NumPy as asked) and then the package.
install_package() {
    log "installing dependencies and building bravolin_learn"
    "$PY" -m pip install --quiet "${BRAVOLIN_NUMPY:-numpy}" "$@"
    "$PY" -m pip install --quiet --force-reinstall --no-deps "$ROOT"
}
