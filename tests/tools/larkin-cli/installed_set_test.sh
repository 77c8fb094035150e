#!/usr/bin/env bash
# The installed set on its own: `cmake --install` into a scratch prefix, then,
# with only the installed files (a bare environment, no build folder on any
# path), the installed larkin-cli makes a copy of the demo machine's E:
# bootable with the demo image, verifies it, and the stick is started in QEMU
# and must reach the demo kernel's closing line.
#
#   installed_set_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build_dir=$(cd "$1" && pwd)
source_dir=$2
skip=77
if ! command -v qemu-system-i386 >/dev/null; then
  echo "qemu-system-i386 is missing (scripts/install-deps): nothing to boot the stick in"
  exit $skip
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/larkin-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build_dir" --prefix "$prefix" >/dev/null

# Everything the programs look for beside themselves, in the folder the
# links in bin/ lead to.
failed=0
missing() {
  echo "not installed: $1" >&2
  failed=1
}
for program in Larkin larkin-cli; do
  [ -x "$prefix/bin/$program" ] || missing "bin/$program"
done
folder=$(dirname "$(readlink -f "$prefix/bin/larkin-cli")")
for file in Larkin larkin-cli larkin-writer cmd simctl libLarkinPlatform.so libTessel.so libVerran.so \
  libCorvid.so libPellom.so libwnaspi32.so File_Images/LarkinDemo/KERNEL.SYS \
  File_Images/LarkinDemo/fi.ini File_Images/LarkinDemo/License.rtf VeltraneUSB4MB.dat \
  larkinhelp.htm COPYRIGHT; do
  [ -f "$folder/$file" ] || missing "${folder#"$prefix"/}/$file"
done
for file in share/applications/larkin.desktop share/icons/hicolor/128x128/apps/larkin.png \
  share/polkit-1/actions/org.larkin.write-drive.policy; do
  [ -f "$prefix/$file" ] || missing "$file"
done
# Nothing installed may find its libraries in the build folder.
for file in "$folder"/*; do
  if [ -f "$file" ] && readelf -d "$file" 2>/dev/null | grep -E 'R(UN)?PATH' | grep -qv '\[\$ORIGIN\]'; then
    echo "${file#"$prefix"/} looks for libraries outside its folder:" >&2
    readelf -d "$file" | grep -E 'R(UN)?PATH' >&2
    failed=1
  fi
done
[ $failed -eq 0 ] || exit 1

mkdir "$work/machine"
cp "$source_dir/machines/demo.toml" "$work/machine/"
installed() {
  (cd "$work/machine" && env -i PATH=/usr/bin:/bin HOME="$work" LARKIN_TIME_SCALE=0 \
    LARKIN_MACHINE="$work/machine/demo.toml" "$prefix/bin/larkin-cli" "$@" </dev/null)
}
installed boot E: --image LarkinDemo --yes
installed verify E:
"$source_dir/scripts/boot-disk" "$work/machine/demo.state/stick1.img" 30
