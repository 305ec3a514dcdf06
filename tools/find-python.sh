#!/usr/bin/env bash
# Prints the path of a working CPython 3.13 interpreter, installing one from
# the distribution's packages when none is found.
set -u
works() { [ -n "$1" ] && "$1" -c 'import sys, venv; assert sys.version_info[:2] == (3, 13)' >/dev/null 2>&1; }
candidates() {
  command -v python3.13 2>/dev/null
  for d in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.13*/bin /usr/local/bin /usr/bin; do
    echo "$d/python3.13"
  done
}
find_one() {
  while read -r c; do
    if works "$c"; then echo "$c"; return 0; fi
  done < <(candidates)
  return 1
}
find_one && exit 0
# None yet: take it from the distribution (Debian 13 ships python3.13).
if command -v apt-get >/dev/null 2>&1; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  { $SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq \
      python3.13 python3.13-venv python3.13-dev; } >&2 || true
fi
find_one && exit 0
echo "no CPython 3.13 interpreter found; install python3.13 with its venv and headers" >&2
exit 1
