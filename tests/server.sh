#!/bin/sh
# server.sh KIND TEST [ARG...]: runs a test executable against one JACK:
#   jack2     the installed one
#   jack1     Debian's jackd1 and libjack0 unpacked into $QUARVELL_JACK1
#             (they conflict with jack2's packages, so they are not installed)
#   pipewire  PipeWire's JACK library, through pw-jack, 64 frames a period
# The harness learns the kind from QT_SERVER.  As root it all runs in
# private mount, IPC and PID namespaces with their own /proc, /dev/shm
# (JACK's sockets, shared memory and database) and /tmp/sndio (sndiod's
# sockets): the servers there meet none outside, a killed jackd leaves
# nothing behind, and a JACK database left locked locks no one else.  The
# rest of /tmp stays as it is, with the checkout or build that may lie there.
kind=$1
shift
here=$(cd "$(dirname "$0")" && pwd)

if [ "$(id -u)" = 0 ] && [ -z "$QT_PRIVATE" ] && command -v unshare >/dev/null 2>&1; then
	# a chroot's / is no mount point, whose propagation cannot change:
	# there, the namespaces the chroot runs in must keep the mounts in
	prop=private
	unshare --mount --propagation private true 2>/dev/null || prop=unchanged
	# the shell stays as the namespace's init, so that orphans are reaped
	exec unshare --mount --ipc --pid --fork --kill-child --propagation $prop \
	    sh -c 'mkdir -p /tmp/sndio && mount -t tmpfs shm /dev/shm &&
	    mount -t tmpfs -o mode=755 sndio /tmp/sndio &&
	    mount -t proc proc /proc && QT_PRIVATE=1 sh "$@"; exit $?' \
	    server.sh "$here/server.sh" "$kind" "$@"
fi

export QT_SERVER=$kind JACK_NO_START_SERVER=1
case $kind in
jack2)
	"$@" ;;
jack1)
	lib=$(dirname "$(ls "$QUARVELL_JACK1"/usr/lib/*/libjack.so.0 2>/dev/null | head -n 1)")
	[ -x "$QUARVELL_JACK1/usr/bin/jackd" ] && [ -d "$lib/jack" ] ||
	    { echo "server.sh: no jack1 in '$QUARVELL_JACK1'" >&2; exit 1; }
	# libjack asks "jackd -l" from PATH where the server keeps its sockets
	PATH=$QUARVELL_JACK1/usr/bin:$PATH
	LD_LIBRARY_PATH=$lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}
	# jackd's own driver directory holds jack2's drivers
	JACK_DRIVER_DIR=$lib/jack
	export PATH LD_LIBRARY_PATH JACK_DRIVER_DIR
	"$@" ;;
pipewire)
	unset DBUS_SESSION_BUS_ADDRESS PIPEWIRE_REMOTE
	XDG_RUNTIME_DIR=$(mktemp -d) || exit 1
	# readers would rewrite a Note On of velocity 0 as a Note Off
	PIPEWIRE_PROPS='{ jack.fix-midi-events = false }'
	export XDG_RUNTIME_DIR PIPEWIRE_PROPS
	# its jack_port_register leaks, as LeakSanitizer sees it
	export LSAN_OPTIONS=suppressions=$here/lsan-pipewire.supp:print_suppressions=0
	pw-jack -p 64 "$@"
	status=$?
	rm -rf "$XDG_RUNTIME_DIR"
	exit $status ;;
*)
	echo "server.sh: jack2, jack1 or pipewire, not '$kind'" >&2
	exit 64 ;;
esac
