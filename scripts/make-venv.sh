#!/usr/bin/env bash
# Creates the project's virtual environment with CPython 3.12 (from pyenv when it is there).
set -euo pipefail
venv=${1:-.venv}
if [ -x "$venv/bin/python" ] && "$venv/bin/python" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))'; then
  exit 0
fi
python=""
if command -v pyenv > /dev/null; then
  version=$(pyenv versions --bare 2> /dev/null | grep -E '^3\.12(\.[0-9]+)?$' | sort -V | tail -n 1 || true)
  if [ -n "$version" ]; then python=$(PYENV_VERSION=$version pyenv which python3.12); fi
fi
if [ -z "$python" ]; then python=$(command -v python3.12 || true); fi
if [ -z "$python" ]; then
  echo "CPython 3.12 is needed (python3.12 on PATH, or through pyenv)" >&2
  exit 1
fi
"$python" -m venv "$venv"
"$venv/bin/python" -m pip install --quiet --upgrade pip
