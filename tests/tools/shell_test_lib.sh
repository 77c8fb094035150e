# Sourced by the tools' shell tests: strict mode, the code CTest reads as a
# skip, skipping when a program is missing, and a scratch folder.
set -euo pipefail
skip=77

# needs PROGRAM [WHAT IS LOST]: skips the test unless PROGRAM is on PATH
# (/usr/sbin and /sbin included).
needs() {
  if ! PATH=$PATH:/usr/sbin:/sbin command -v "$1" >/dev/null; then
    echo "skipped: $1 is missing (scripts/install-deps)${2:+: $2}"
    exit $skip
  fi
}

# scratch NAME: $work, a fresh folder removed when the script exits.
scratch() {
  work=$(mktemp -d "${TMPDIR:-/tmp}/larkin-$1.XXXXXX")
  trap 'rm -rf "$work"' EXIT
}
