#!/bin/sh
# Prints the path of a CPython 3.12 interpreter, or explains what is missing.
# Order: $PYTHON if set, the newest 3.12 known to pyenv, then python3.12 on PATH.
set -u

is_312() {
    "$1" -c 'import sys; sys.exit(0 if sys.version_info[:2] == (3, 12) else 1)' 2>/dev/null
}

if [ -n "${PYTHON:-}" ]; then
    if is_312 "$PYTHON"; then echo "$PYTHON"; exit 0; fi
    echo "error: PYTHON=$PYTHON is not a CPython 3.12 interpreter" >&2
    exit 1
fi

if command -v pyenv >/dev/null 2>&1; then
    version=$(pyenv versions --bare 2>/dev/null | grep -E '^3\.12(\.[0-9]+)?$' | sort -t. -k3,3n | tail -n 1)
    if [ -n "$version" ]; then
        candidate="$(pyenv root)/versions/$version/bin/python3.12"
        if is_312 "$candidate"; then echo "$candidate"; exit 0; fi
    fi
fi

for candidate in python3.12 python3; do
    path=$(command -v "$candidate" 2>/dev/null) || continue
    if is_312 "$path"; then echo "$path"; exit 0; fi
done

cat >&2 <<'MSG'
error: no CPython 3.12 interpreter found.
  Looked at: $PYTHON, pyenv's installed versions (pyenv versions), python3.12 and python3 on PATH.
  Fix: install it (for example `pyenv install 3.12`) or run `make PYTHON=/path/to/python3.12 ...`.
MSG
exit 1
