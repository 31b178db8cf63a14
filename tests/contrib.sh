#!/bin/sh
# The service and device files.  cmake --install puts them where the
# system looks, with the installed paths filled in; the shell scripts
# parse; systemd-analyze verifies the user units, beside the README's
# jack.service they are bound to; where bsd-machine is at hand, the BSD
# files run under their systems' own rc scripts (tests/bsd.sh).  Under
# tests/kernel.sh (QT_MACHINE), with snd-virmidi's card 0, also: as
# udevadm test runs it, the udev rule wants quarvell@ for each of the
# card's devices, and quarvell-device names each after the card and serves
# what QUARVELL_DEVICES and QUARVELL_IGNORE say.
# $1 is cmake, $2 the build directory.
cd "$(dirname "$0")/.." || exit 1
cmake=$1 build=$2
tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT
p=$tmp/prefix units=$tmp/prefix/lib/systemd/user device=$tmp/prefix/libexec/quarvell-device
status=0
fail() { echo "$*"; status=1; }

"$cmake" --install "$build" --prefix "$p" >"$tmp/out" 2>&1 || { cat "$tmp/out"; exit 1; }
for f in "$units/quarvell.service" "$units/quarvell@.service" "$units/quarvell-devices.service" \
    "$p/lib/udev/rules.d/90-quarvell.rules"; do
	[ -f "$f" ] || fail "not installed: $f"
done
[ -x "$device" ] || fail "not installed: $device"
left=$(grep -l '@[a-z]*@' "$units"/* "$device")
[ -z "$left" ] || fail "paths not filled in: $left"
grep -q "^ExecStart=$p/bin/quarvell " "$units/quarvell.service" || fail "quarvell.service runs another quarvell"
grep -q "^quarvell=$p/bin/quarvell$" "$device" || fail "quarvell-device runs another quarvell"

for f in "$device" contrib/freebsd/quarvell.in contrib/openbsd/quarvell.in \
    contrib/openbsd/attach contrib/openbsd/detach; do
	sh -n "$f" || fail "$f does not parse"
done

if command -v systemd-analyze >/dev/null 2>&1; then
	mkdir "$tmp/units"
	cp "$units"/* "$tmp/units/"
	ln -s quarvell@.service "$tmp/units/quarvell@midiC0D0.service"
	sed -n '\|^    # ~/.config/systemd/user/jack.service$|,/^[^ ]/{ s/^    //p; /^$/p; }' \
	    README.md >"$tmp/units/jack.service"
	grep -q '^ExecStart=' "$tmp/units/jack.service" || fail "README lacks jack.service"
	# a warning is a failure too: an unknown key is only ignored
	out=$(cd "$tmp/units" && XDG_RUNTIME_DIR=$tmp systemd-analyze verify --user --man=no \
	    quarvell.service quarvell@midiC0D0.service quarvell-devices.service jack.service 2>&1) &&
	    [ -z "$out" ] || fail "systemd-analyze verify: $out"
else
	echo "no systemd-analyze: units not verified"
fi

# the BSD files under their systems' own rc scripts, each case of
# tests/bsd.sh in a sandbox of its own; once, not again in the machine
bsd=../shared/tools/bsd-machine
if [ -n "$QT_MACHINE" ]; then
	:
elif [ ! -x "$bsd" ] || [ "$(id -u)" != 0 ]; then
	echo "no $bsd, or not root: the BSD cases skipped"
elif ! out=$("$bsd" freebsd true 2>&1); then
	fail "$bsd: $out"
else
	for os in freebsd openbsd; do
		for c in $(sh tests/bsd.sh $os); do
			out=$(BSD_TIMEOUT=60 "$bsd" $os "sh tests/bsd.sh $os $c" 2>&1) ||
			    fail "$os $c: $out"
		done
	done
fi

[ -n "$QT_MACHINE" ] || exit $status
if command -v udevadm >/dev/null 2>&1; then
	# the machine's files are a layer in memory: nothing of ours stays
	cp "$p/lib/udev/rules.d/90-quarvell.rules" /etc/udev/rules.d/
	for d in 0 1 2 3; do
		udevadm test --action=add "/sys/class/sound/midiC0D$d" >"$tmp/udev" 2>&1
		grep -qx "SYSTEMD_USER_WANTS=quarvell@midiC0D$d.service" "$tmp/udev" &&
		    grep -q '^TAGS=.*:systemd:' "$tmp/udev" || { tail -n 12 "$tmp/udev"; fail "midiC0D$d: no quarvell@"; }
	done
else
	echo "no udevadm: the rule not tried"
fi
tab=$(printf '\t')
want="midiC0D0${tab}VirMIDI${tab}rmidi/0,0${tab}served
midiC0D1${tab}VirMIDI-1${tab}rmidi/0,1${tab}left out
midiC0D2${tab}VirMIDI-2${tab}rmidi/0,2${tab}served
midiC0D3${tab}VirMIDI-3${tab}rmidi/0,3${tab}left out"
got=$(QUARVELL_IGNORE='VirMIDI-1 *-3' "$device" -l)
[ "$got" = "$want" ] || fail "quarvell-device -l with QUARVELL_IGNORE: $got"
QUARVELL_DEVICES=VirMIDI-2 "$device" -c midiC0D2 && ! QUARVELL_DEVICES=VirMIDI-2 "$device" -c midiC0D0 &&
    QUARVELL_DEVICES=VirMIDI "$device" -c midiC0D3 && ! "$device" -c midiC7D0 ||
    fail "quarvell-device -c: QUARVELL_DEVICES by client name, by card id, or a device that is not there"
# the card's devices have outputs: their quarvell plays back into them too
printf '#!/bin/sh\necho "$@"\n' >"$p/bin/quarvell"
got=$("$device" midiC0D1)
[ "$got" = "-o -p rmidi/0,1 -n VirMIDI-1" ] || fail "quarvell-device midiC0D1 runs quarvell $got"
exit $status
