#!/bin/sh
# kernel.sh KERNEL CMD [ARG...]: runs CMD as root under a real Linux kernel
# in qemu, with snd-virmidi's card 0 (four raw MIDI devices, midiC0D0 to
# midiC0D3) plugged in.  KERNEL is the directory scripts/kernel unpacked
# Debian's kernel and modules into.  The machine sees this machine's files
# read-only, with what it writes kept in memory, and starts in the current
# directory with the current environment, wherever that lies; it has no
# network.  CMD's output
# is printed, and its exit status returned; 77 (a skipped test to CTest)
# when there is no kernel or qemu to run, and why.
kernel=$1
shift
skip() { echo "kernel.sh: $*: the device tests are skipped"; exit 77; }
[ "$(uname -s)" = Linux ] || skip "not Linux"
[ -n "$kernel" ] && [ -e "$kernel/vmlinuz" ] || skip "no kernel unpacked (scripts/kernel)"
command -v qemu-system-x86_64 >/dev/null 2>&1 || skip "no qemu-system-x86_64"
busybox=$(command -v busybox) || skip "no busybox"
head -c 1024 "$busybox" | grep -qa ld-linux && skip "$busybox is not static (busybox-static)"

tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT
trap 'exit 1' INT TERM
mkdir -p "$tmp/init/bin" "$tmp/init/mods" "$tmp/out"
cp "$busybox" "$tmp/init/bin/busybox"
for a in sh mount mkdir insmod chroot poweroff; do ln -s busybox "$tmp/init/bin/$a"; done
cp "$kernel"/*.ko "$tmp/init/mods/"

# CMD, quoted, to run where it was asked for with the environment it had
export -p >"$tmp/out/env"
q=
for a; do q="$q '$(printf %s "$a" | sed "s/'/'\\\\''/g")'"; done
cat >"$tmp/out/run" <<EOF
. /out/env
export QT_MACHINE=1
cd '$(pwd)' && $q
echo \$? >/out/status
EOF

# the first init: modules in no set order, each as soon as it can be, then
# this machine's files under a layer in memory
p9=trans=virtio,version=9p2000.L,msize=512000
cat >"$tmp/init/init" <<EOF
#!/bin/sh
mount -t proc proc /proc; mount -t sysfs sys /sys; mount -t devtmpfs dev /dev
for pass in 1 2 3 4 5 6; do
	for m in /mods/*.ko; do [ -e \$m ] && insmod \$m 2>/dev/null && rm \$m; done
done
mkdir -p /host /out /rw /new
mount -t 9p -o $p9,ro,cache=loose host /host && mount -t 9p -o $p9 out /out &&
    mount -t tmpfs rw /rw && mkdir /rw/up /rw/work &&
    mount -t overlay overlay -o lowerdir=/host,upperdir=/rw/up,workdir=/rw/work /new ||
    { echo "no root: modules left \$(ls /mods)" >/out/console; poweroff -f; }
mount -t proc proc /new/proc; mount -t sysfs sys /new/sys; mount -t devtmpfs dev /new/dev
mkdir -p /new/out /new/dev/shm /new/dev/pts; mount -o bind /out /new/out
# /tmp stays this machine's, in the layer, for a checkout that lies there;
# sockets left there by servers of this machine answer no one here
for d in /new/dev/shm /new/run; do mount -t tmpfs tmp \$d; done
rm -rf /new/tmp/sndio /new/tmp/jack-*
mount -t devpts devpts /new/dev/pts
chroot /new /bin/sh /out/run >/out/log 2>&1
poweroff -f
EOF
chmod +x "$tmp/init/init"
(cd "$tmp/init" && find . | "$busybox" cpio -o -H newc 2>/dev/null) >"$tmp/initrd" ||
    { echo "kernel.sh: could not make the initrd"; exit 1; }

# emulated: KVM, where a machine has it, may itself run in a virtual
# machine that lets its guests hang
qemu-system-x86_64 -accel tcg -cpu max -m 1536 -smp 2 -nographic -no-reboot -nic none \
    -kernel "$kernel/vmlinuz" -initrd "$tmp/initrd" \
    -append "console=ttyS0 quiet loglevel=3 panic=-1" \
    -virtfs local,path=/,mount_tag=host,security_model=none,readonly=on,multidevs=remap \
    -virtfs local,path="$tmp/out",mount_tag=out,security_model=none \
    </dev/null >"$tmp/console" 2>&1
cat "$tmp/out/log" 2>/dev/null
if [ ! -s "$tmp/out/status" ]; then
	echo "kernel.sh: the machine ended before the command did; its console:"
	tail -n 30 "$tmp/console" "$tmp/out/console" 2>/dev/null
	exit 1
fi
exit "$(cat "$tmp/out/status")"
