#!/bin/sh
# The service files parse: the rc.d script with sh -n, the systemd unit
# with systemd-analyze where that is installed, beside the README's
# jack.service it is bound to.  $1 is the built quarvell, put where the
# unit expects the installed one.
cd "$(dirname "$0")/.." || exit 1
sh -n contrib/rc.d/quarvell || exit 1
command -v systemd-analyze >/dev/null 2>&1 || { echo "no systemd-analyze: unit not checked"; exit 0; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
sed "s|/usr/local/bin/quarvell|$1|" contrib/systemd/quarvell.service >"$tmp/quarvell.service"
sed -n '\|^    # ~/.config/systemd/user/jack.service$|,/^[^ ]/{ s/^    //p; /^$/p; }' README.md >"$tmp/jack.service"
grep -q '^ExecStart=' "$tmp/jack.service" || { echo "README lacks jack.service"; exit 1; }
XDG_RUNTIME_DIR=$tmp systemd-analyze verify --user --man=no "$tmp/quarvell.service" "$tmp/jack.service"
