#!/usr/bin/env bash
# The installed set on its own: `cmake --install` into a scratch prefix, or
# the Debian package unpacked into a scratch root; then, with only the
# installed files (a bare environment, no build folder on any path), the
# installed larkin-cli makes a copy of the demo machine's E: bootable with
# the demo image, verifies it, and the stick is started in QEMU and must
# reach the demo kernel's closing line; then the same from a floppy image
# file whose CONFIG.SYS and AUTOEXEC.BAT name A:, which must name C: on the
# stick, the originals kept and the image untouched.
#
#   installed_set_test.sh BUILD_DIR SOURCE_DIR
#   installed_set_test.sh larkin_VERSION_ARCH.deb SOURCE_DIR
source "$(dirname "$0")/../shell_test_lib.sh"
source_dir=$2
needs qemu-system-i386 "nothing to boot the stick in"
scratch install
failed=0
missing() {
  echo "not installed: $1" >&2
  failed=1
}
if [[ $1 == *.deb ]]; then
  # The package as dpkg would lay it out, in a root of its own.
  dpkg-deb -x "$1" "$work/root"
  prefix=$work/root/usr
  for file in share/man/man1/Larkin.1.gz share/man/man1/larkin-cli.1.gz \
    share/man/man1/simctl.1.gz share/doc/larkin/copyright \
    share/bash-completion/completions/larkin-cli; do
    [ -f "$prefix/$file" ] || missing "/usr/$file"
  done
  # What the programs start is declared with what they link.
  depends=$(dpkg-deb -f "$1" Depends)
  for package in dosfstools mtools unrtf libc6 libqt6widgets6 libudev1 libblkid1; do
    [[ ", $depends," == *", $package"[\ ,]* ]] || { echo "Depends lacks $package: $depends" >&2; failed=1; }
  done
else
  prefix=$work/prefix
  cmake --install "$(cd "$1" && pwd)" --prefix "$prefix" >/dev/null
fi

# Everything the programs look for beside themselves, in the folder the
# links in bin/ lead to.
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
if [[ $1 == *.deb ]]; then
  # The manual page reads, and the completion offers the installed images.
  for page in Larkin larkin-cli simctl; do
    man -l "$prefix/share/man/man1/$page.1.gz" 2>&1 | grep -q "^NAME" || missing "a readable man page $page"
  done
  offered=$(bash -c 'source "$1"; COMP_WORDS=(larkin-cli boot E: --images "$2" --image L)
    COMP_CWORD=6; _larkin_cli; echo "${COMPREPLY[*]}"' - \
    "$prefix/share/bash-completion/completions/larkin-cli" "$folder/File_Images")
  [ "$offered" = LarkinDemo ] || { echo "completion of --image L offers: $offered" >&2; failed=1; }
fi
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

# A boot floppy as people have them: an image file whose files name A:.
floppy=$work/boot.img
mkfs.fat -C -n BOOTDISK "$floppy" 1440 >/dev/null
printf 'SHELL=A:\\COMMAND.COM /E:512 /P\r\nDEVICE=a:\\DOS\\HIMEM.SYS\r\nREM A:\\OLD\r\n' >"$work/CONFIG.SYS"
printf '@ECHO OFF\r\nPATH=A:\\;A:\\DOS\r\nECHO Insert a disk in A:\r\n' >"$work/AUTOEXEC.BAT"
printf 'SHELL=A:\\COMMAND.COM /P=A:\\FDAUTO.BAT\r\n' >"$work/FDCONFIG.SYS"
mcopy -i "$floppy" "$folder/File_Images/LarkinDemo/KERNEL.SYS" "$work/CONFIG.SYS" \
  "$work/AUTOEXEC.BAT" "$work/FDCONFIG.SYS" ::
before=$(sha256sum <"$floppy")
installed boot E: --floppy-image "$floppy" --yes
installed verify E:
[ "$(sha256sum <"$floppy")" = "$before" ] || { echo "the floppy image was written" >&2; exit 1; }
stick=$work/machine/demo.state/stick1.img
offset=$(($(od -An -tu4 -j454 -N4 "$stick") * 512))
on_stick() { mtype -i "$stick@@$offset" "::$1" | tr -d '\r'; }
expect() {  # expect FILE TEXT
  [ "$(on_stick "$1")" = "$2" ] || { echo "$1 on the stick:" >&2; on_stick "$1" >&2; exit 1; }
}
expect CONFIG.SYS $'SHELL=C:\\COMMAND.COM /E:512 /P\nDEVICE=C:\\DOS\\HIMEM.SYS\nREM A:\\OLD'
expect AUTOEXEC.BAT $'@ECHO OFF\nPATH=C:\\;C:\\DOS\nECHO Insert a disk in A:'
expect CONFIG.ORG "$(tr -d '\r' <"$work/CONFIG.SYS")"
expect AUTOEXEC.ORG "$(tr -d '\r' <"$work/AUTOEXEC.BAT")"
expect FDCONFIG.SYS 'SHELL=C:\COMMAND.COM /P=C:\FDAUTO.BAT'
expect FDCONFIG.ORG "$(tr -d '\r' <"$work/FDCONFIG.SYS")"
"$source_dir/scripts/boot-disk" "$stick" 30
