#!/bin/sh
# The BSD service files under their systems' own rc scripts, in the sandbox
# of bsd-machine, whose stand-in quarvell records how it was started.
# "bsd.sh OS" lists OS's cases, "bsd.sh OS CASE" runs one there.
status=0
fail() { echo "$*"; status=1; }
# what should run, a quarvell a line: user, JACK_NO_START_SERVER, arguments
want() {
	got=$(quarvells | sed 's|^[0-9]* \([^ ]*\) JACK_NO_START_SERVER=\([^ ]*\) [^ ]*/quarvell|\1 \2|' | sort)
	[ "$got" = "$(printf "$2")" ] || fail "$1: want \"$2\", got \"$got\""
}
# a command that should warn of nothing (-a: nor say anything)
noerr() {
	if [ "$1" = -a ]; then shift; out=$("$@" 2>&1); else out=$("$@" 2>&1 >/dev/null); fi
	[ -z "$out" ] || fail "$*: $out"
}
rcconf() { printf '%s\n' quarvell_enable=YES quarvell_user=audio "$@" >>/etc/rc.conf; }
user() { rcctl enable quarvell >/dev/null && rcctl set quarvell user audio; }

case $1:$2 in
freebsd:)
	echo devd boot notenabled startdevices prefix;;
freebsd:devd)
	# quarvell_flags are quarvell's; devd's instances read their jack, and
	# plain commands reach them
	rcconf 'quarvell_flags="-p rmidi/0 -n main"'
	noerr service quarvell start
	devd-event CREATE umidi1.0 >/dev/null
	devd-event CREATE umidi1.2 >/dev/null
	want "start, devd-event CREATE umidi1.0 umidi1.2" \
	    "audio 1 -p rmidi/0 -n main\naudio 1 -p rmidi/1 -n umidi1.0\naudio 1 -p rmidi/1.2 -n umidi1.2"
	n=$(service quarvell status | grep -c 'is running')
	[ "$n" = 3 ] || fail "service quarvell status shows $n of 3"
	devd-event DESTROY umidi1.0 >/dev/null
	noerr service quarvell restart
	n=$(calls quarvell | grep -c '^quarvell: start .* name=umidi1.2 ')
	[ "$n" = 2 ] || fail "service quarvell restart: umidi1.2 started $n times, not 2"
	noerr service quarvell stop
	want "service quarvell stop" "";;
freebsd:boot)
	# profiles at boot and shutdown, where rc sources the script; one not
	# enabled stays off under faststart and quietstart
	rcconf 'quarvell_profiles="keys pads thru"' 'quarvell_keys_flags="-p rmidi/0 -n keys"' \
	    'quarvell_pads_flags="-p rmidi/1 -n pads"' quarvell_thru_enable=NO
	boot >/dev/null 2>&1
	noerr -a service quarvell quietstart thru
	want boot "audio 1 -p rmidi/0 -n keys\naudio 1 -p rmidi/1 -n pads"
	shutdown >/dev/null 2>&1
	want shutdown "";;
freebsd:notenabled)
	# devd says nothing of a device it is not to serve
	noerr -a devd-event CREATE umidi1.2
	noerr -a devd-event DESTROY umidi1.2
	rcconf quarvell_umidi1_2_enable=NO
	noerr -a devd-event CREATE umidi1.2
	want "devd-event CREATE umidi1.2, not enabled" "";;
freebsd:startdevices)
	# those present at boot, once JACK is up, but never twice
	rcconf quarvell_umidi3_0_enable=NO
	: >/dev/umidi1.0; : >/dev/umidi2.1; : >/dev/umidi3.0
	noerr service quarvell startdevices
	noerr service quarvell startdevices
	want "service quarvell startdevices, twice" \
	    "audio 1 -p rmidi/1 -n umidi1.0\naudio 1 -p rmidi/2.1 -n umidi2.1";;
freebsd:prefix)
	# installed in /usr/pkg, and linked where the README says
	mkdir -p /usr/pkg/bin /usr/pkg/etc/rc.d /usr/pkg/etc/devd
	ln -s /usr/local/bin/quarvell /usr/pkg/bin/
	for f in rc.d/quarvell devd/quarvell.conf; do
		sed 's|/usr/local/|/usr/pkg/|g' /usr/local/etc/$f >/usr/pkg/etc/$f && rm /usr/local/etc/$f
	done
	chmod 555 /usr/pkg/etc/rc.d/quarvell
	links=$(sed -n 's|^    \(ln -s \)PREFIX/|\1/usr/pkg/|p' README.md)
	[ -n "$links" ] && sh -ec "$links" || fail "the README's links for another prefix: ${links:-none}"
	rcconf
	boot >/dev/null 2>&1
	devd-event CREATE umidi1.2 >/dev/null
	want "boot, devd-event CREATE umidi1.2" "audio 1\naudio 1 -p rmidi/1.2 -n umidi1.2";;
openbsd:)
	echo readme hotplug startdevices;;
openbsd:readme)
	# the README's steps, but for copying the script in
	sed -n '/^### OpenBSD/,/^##* [^O]/s/^    //p' README.md | grep -v '^install ' >/tmp/steps
	ksh -e /tmp/steps >/dev/null || fail "the README's steps failed: $(cat /tmp/steps)"
	want "the README's steps" "audio 1 -p midi/0\naudio 1 -p midi/1 -n keys";;
openbsd:hotplug)
	# a port as it attaches, as quarvell's user, through sndiod; rcctl
	# tells its defaults
	user
	hotplug attach 0 midi1 >/dev/null 2>&1
	want "hotplug attach 0 midi1" "audio 1 -p midi/1 -n midi1"
	got=$(echo $(rcctl getdef quarvell_midi1 flags; rcctl getdef quarvell_midi1 user))
	[ "$got" = "-p midi/1 -n midi1 audio" ] || fail "rcctl getdef quarvell_midi1 flags, user: $got"
	hotplug detach 0 midi1 >/dev/null 2>&1
	want "hotplug detach 0 midi1" "";;
openbsd:startdevices)
	# the ports of the last boot, which hotplugd never hears of, never
	# twice (rc.subr may say its timer went first: no noerr)
	user
	printf '%s\n' 'OpenBSD 7.5' 'midi2 at umidi1: <MIDI>' 'OpenBSD 7.6' \
	    'midi0 at umidi0: <MIDI>' 'midi1 at umidi0: <MIDI>' >/var/run/dmesg.boot
	for i in 1 2; do
		/etc/rc.d/quarvell startdevices >/dev/null 2>&1 || fail "/etc/rc.d/quarvell startdevices failed"
	done
	want "/etc/rc.d/quarvell startdevices, twice" \
	    "audio 1 -p midi/0 -n midi0\naudio 1 -p midi/1 -n midi1";;
*)
	echo "usage: bsd.sh freebsd|openbsd [case]" >&2; exit 1;;
esac
exit $status
