#!/usr/bin/env bash
# Writing without root through real polkit: the installed set, a loop-device
# stick named in /etc/larkin/test-usb-disks, and larkin-cli and the desktop
# program's command (under Xvfb, pictured) run as nobody. With a rule that
# denies our action the stick is left as it was and the refusal says so;
# with one that allows it the stick is made bootable by larkin-writer
# (through pkexec) and verifies. A system bus and polkitd are
# started when none runs; everything installed or started is removed again.
#
#   polkit_test.sh BUILD_DIR
source "$(dirname "$0")/../shell_test_lib.sh"
build_dir=$(cd "$1" && pwd)
if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: needs root (loop devices, a polkit rule, polkitd on the system bus)"
  exit $skip
fi
for program in pkexec dbus-daemon dbus-send setpriv losetup sfdisk mkfs.fat; do
  needs $program
done
polkitd=/usr/lib/polkit-1/polkitd
[ -x $polkitd ] || { echo "skipped: $polkitd is missing (scripts/install-deps)"; exit $skip; }
export PATH=$PATH:/usr/sbin:/sbin

work=$(mktemp -d /tmp/larkin-polkit.XXXXXX)
chmod 755 "$work"
action=/usr/share/polkit-1/actions/org.larkin.write-drive.policy
rules=/etc/polkit-1/rules.d/49-larkin-test.rules
list=/etc/larkin/test-usb-disks
loop="" loop_mode="" bus_pid="" polkitd_pid="" made_etc="" saved_state=""
cleanup() {
  set +e
  if [ -n "$polkitd_pid" ]; then
    kill "$polkitd_pid" 2>/dev/null
    wait "$polkitd_pid" 2>/dev/null
  fi
  if [ -n "$bus_pid" ]; then
    kill "$bus_pid" 2>/dev/null
    rm -f /run/dbus/pid /run/dbus/system_bus_socket
  fi
  if [ -n "$loop" ]; then
    losetup -d "$loop"
    [ -n "$loop_mode" ] && chmod "$loop_mode" "$loop"
  fi
  rm -f "$action" "$rules" "$list"
  [ -n "$made_etc" ] && rmdir /etc/larkin 2>/dev/null
  rm -rf /var/lib/larkin
  [ -n "$saved_state" ] && mv "$saved_state" /var/lib/larkin
  rm -rf "$work"
}
trap cleanup EXIT
if [ -e "$list" ] || [ -e "$rules" ] || [ -e "$action" ]; then
  echo "skipped: $list, $rules or $action is there already"
  exit $skip
fi
# The helper keeps its records where root's programs do: root's drive
# letters from earlier runs would give the stick another letter than D:, so
# they are set aside for the test and put back after it.
if [ -e /var/lib/larkin ]; then
  saved_state=/var/lib/larkin.set-aside-by-polkit-test.$$
  mv /var/lib/larkin "$saved_state"
fi

prefix=$work/prefix
cmake --install "$build_dir" --prefix "$prefix" >/dev/null
helper=$prefix/lib/larkin/larkin-writer
grep -q "<annotate key=\"org.freedesktop.policykit.exec.path\">$helper</annotate>" \
  "$prefix/share/polkit-1/actions/org.larkin.write-drive.policy"
grep -q "<allow_active>auth_admin_keep</allow_active>" \
  "$prefix/share/polkit-1/actions/org.larkin.write-drive.policy"
# polkitd reads actions from /usr/share only.
cp "$prefix/share/polkit-1/actions/org.larkin.write-drive.policy" "$action"

truncate -s 64M "$work/stick.img"
printf 'label: dos\n2048,,c,*\n' | sfdisk -q "$work/stick.img"
loop=$(losetup -f --show "$work/stick.img")
mkfs.fat --offset 2048 "$loop" >/dev/null
# A desktop lets the user at the console read the sticks plugged in; nobody
# is given the same here, so that it lists the stick's volume as a user does.
loop_mode=$(stat -c %a "$loop")
chmod o+r "$loop"
[ -d /etc/larkin ] || { mkdir /etc/larkin; made_etc=1; }
echo "$loop" >"$list"
chmod 644 "$list"

bus_answers() {
  dbus-send --system --print-reply --dest=org.freedesktop.DBus / \
    org.freedesktop.DBus.GetId >/dev/null 2>&1
}
if ! bus_answers; then
  # What a bus that is gone left behind would stop a new one.
  rm -f /run/dbus/pid /run/dbus/system_bus_socket
  mkdir -p /run/dbus
  bus_pid=$(dbus-daemon --system --fork --print-pid)
  for _ in $(seq 50); do bus_answers && break; sleep 0.1; done
fi
polkit_running() {
  dbus-send --system --print-reply --dest=org.freedesktop.DBus / \
    org.freedesktop.DBus.NameHasOwner string:org.freedesktop.PolicyKit1 2>/dev/null |
    grep -q 'boolean true'
}
rule() {  # rule YES|NO: the answer for our action asked by nobody
  cat >"$rules" <<RULE
polkit.addRule(function(action, subject) {
  if (action.id == "org.larkin.write-drive" && subject.user == "nobody")
    return polkit.Result.$1;
});
RULE
  # A polkitd of our own is started afresh to read it; one already running
  # reads it when it sees the file change.
  if [ -n "$polkitd_pid" ]; then
    kill "$polkitd_pid"
    wait "$polkitd_pid" 2>/dev/null || true
    polkitd_pid=""
  fi
  if [ -n "$bus_pid" ] || ! polkit_running; then
    $polkitd --no-debug >/dev/null 2>&1 &
    polkitd_pid=$!
  else
    sleep 2
  fi
  for _ in $(seq 50); do polkit_running && return 0; sleep 0.1; done
  echo "polkitd did not come up" >&2
  return 1
}
as_nobody() {
  (cd /tmp && setpriv --reuid=nobody --regid=nogroup --clear-groups \
    env -i PATH=/usr/bin:/bin HOME=/nonexistent "$prefix/bin/larkin-cli" "$@" </dev/null)
}
# The table, and the volume's boot sector and FATs.
sector0() { dd if="$loop" bs=1M count=2 status=none | sha256sum; }
# The desktop program's command as nobody, pictured under Xvfb into
# BUILD_DIR/polkit-screenshots (refused.png, done.png).
shots=$build_dir/polkit-screenshots
pictures=$build_dir/bin/frontend_writer_screenshots
mkdir -p "$work/shots" "$shots"
chmod 777 "$work/shots"
window() {  # window refused|done
  if [ ! -x "$pictures" ] || ! command -v xvfb-run >/dev/null; then
    echo "the desktop program's run is left out: no $pictures or no xvfb-run"
    return 0
  fi
  (cd /tmp && setpriv --reuid=nobody --regid=nogroup --clear-groups \
    env -i PATH=/usr/bin:/bin HOME=/nonexistent QT_QPA_PLATFORM=xcb \
    LARKIN_WRITER="$helper" LARKIN_PROGRAM="$prefix/lib/larkin" LARKIN_SHOTS="$work/shots" \
    xvfb-run -a -s "-screen 0 1024x768x24" "$pictures" "$1" </dev/null) || return 1
  cp "$work/shots/$1.png" "$shots/"
}

failed=0
before=$(sector0)
rule NO
set +e
out=$(as_nobody boot D: --image LarkinDemo --yes 2>&1)
code=$?
set -e
echo "$out"
if [ $code -ne 6 ] || ! grep -q "not authorised (Error executing command" <<<"$out" || [ "$(sector0)" != "$before" ]; then
  echo "FAIL: denied by polkit, larkin-cli should refuse (exit 6) and leave the stick (exit $code)" >&2
  failed=1
fi

if ! window refused || [ "$(sector0)" != "$before" ]; then
  echo "FAIL: denied by polkit, the desktop program should say so and leave the stick" >&2
  failed=1
fi

rule YES
window done || { echo "FAIL: allowed by polkit, the desktop program should make D: bootable" >&2; failed=1; }
LARKIN_STATE_DIR=$work/state "$prefix/bin/larkin-cli" verify D: >/dev/null || failed=1
set +e
out=$(as_nobody boot D: --image LarkinDemo --yes 2>&1)
code=$?
set -e
echo "$out"
if [ $code -ne 0 ]; then
  echo "FAIL: allowed by polkit, larkin-cli should make D: bootable (exit $code)" >&2
  failed=1
fi
LARKIN_STATE_DIR=$work/state "$prefix/bin/larkin-cli" verify D: || failed=1
# ... and it starts a computer.
if command -v qemu-system-i386 >/dev/null; then
  losetup -d "$loop"
  chmod "$loop_mode" "$loop"
  loop=""
  "$(dirname "$0")/../../../scripts/boot-disk" "$work/stick.img" || failed=1
fi
exit $failed
