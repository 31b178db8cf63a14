#!/bin/sh
# The manual page lints clean, and its synopsis, the usage line and the
# README show the same command line.
cd "$(dirname "$0")/.." || exit 1
top=.
synopsis='quarvell [-h] [-o] [-p mio_port] [-n jack_client_name]'
status=0

# mandoc also looks each Xr up in the machine's manuals: it misses those
# that Debian installs gzipped ("outdated mandoc.db lacks ...") and those
# of packages not installed, such as getopt(3) without manpages-dev
# ("referenced manual not found"); that is the machine's business, not
# the page's
lint=$(mandoc -Tlint quarvell.1 2>&1 |
    grep -v -e 'outdated mandoc.db lacks' -e 'referenced manual not found')
[ -z "$lint" ] || { echo "mandoc -Tlint: $lint"; status=1; }

mandoc -Tascii quarvell.1 2>/dev/null | sed "s/.$(printf '\b')//g" |
    grep -qF "$synopsis" || { echo "man page synopsis differs"; status=1; }
grep -qF "$synopsis" "$top/README.md" || { echo "README lacks: $synopsis"; status=1; }
"$1" -h 2>&1 | grep -qxF "usage: $synopsis" || { echo "usage line differs"; status=1; }
exit $status
