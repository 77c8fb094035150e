#!/usr/bin/env bash
# The README's larkin-cli example, run as it is written there: the indented
# block after "On a copy of the demo machine:", line by line in one shell,
# with only its folder (/tmp/demo) and the path to larkin-cli replaced, each
# larkin-cli line given the answers its comment names ("(answer y)",
# "(answers y, saved.mbr, 63)"). Every line must succeed; each stick that
# boot and write-image make is started in QEMU and must reach its kernel's
# closing line, and restore-mbr must give back the sector 0 write-image found.
#
#   readme_example_test.sh SOURCE_DIR BIN_DIR
source "$(dirname "$0")/../shell_test_lib.sh"
source_dir=$1
bin_dir=$2
needs qemu-system-i386 "nothing to boot the sticks in"
scratch readme

# The block, with comment-only lines joined to the command above them.
block=$(awk '
  /On a copy of the demo machine:/ { found = 1; next }
  found && /^    / { started = 1; print; next }
  started { exit }
' "$source_dir/README.md" | awk '
  /^ *#/ { line = line " " $0; next }
  { if (line != "") print line; line = $0 }
  END { if (line != "") print line }
')
if ! grep -q 'larkin write-image' <<<"$block"; then
  echo "README.md: no larkin-cli example found after \"On a copy of the demo machine:\"" >&2
  exit 1
fi

# The example works on E:, the machine's stick1, whose image lies in the
# machine's state folder.
script=$work/example.sh
answered='\(answers? ([^)]*)\)'
{
  echo 'set -euo pipefail'
  echo 'export LARKIN_TIME_SCALE=0'
  echo 'stick() { echo "$(dirname "$LARKIN_MACHINE")/demo.state/stick1.img"; }'
  echo 'sector0() { head -c 512 "$(stick)" | od -An -tx1; }'
  while IFS= read -r line; do
    command=${line%%#*}
    comment=
    [[ $line == *"#"* ]] && comment=${line#*#}
    command=${command//\/tmp\/demo/$work\/demo}
    command=${command//\/path\/to\/larkin\/build\/bin\/larkin-cli/$bin_dir\/larkin-cli}
    shown=${command#"${command%%[![:space:]]*}"}
    printf 'echo %q\n' "\$ ${shown%"${shown##*[![:space:]]}"}"
    if [[ $command != *'$larkin '* ]]; then
      echo "$command"
      continue
    fi
    answers=
    if [[ $comment =~ $answered ]]; then
      answers=${BASH_REMATCH[1]//, /$'\n'}
    fi
    [[ $command == *'write-image'* ]] && echo 'before=$(sector0)'
    printf '%s <<<%q\n' "$command" "$answers"
    if [[ $command =~ \$larkin\ (boot|write-image) ]]; then
      echo "cp --sparse=always \"\$(stick)\" \"$work/after-${BASH_REMATCH[1]}.img\""
    fi
    if [[ $command == *'restore-mbr'* ]]; then
      echo '[ "$(sector0)" = "$before" ] || { echo "restore-mbr did not give back sector 0" >&2; exit 1; }'
    fi
  done <<<"$block"
} >"$script"
(cd "$source_dir" && env -u LARKIN_MACHINE bash "$script")

for made in boot write-image; do
  if [ ! -f "$work/after-$made.img" ]; then
    echo "README.md: the example has no larkin-cli $made line" >&2
    exit 1
  fi
  echo "== the stick after $made, started in QEMU:"
  "$source_dir/scripts/boot-disk" "$work/after-$made.img" 30
done
