#!/bin/sh
# quarvell configures and builds without sndio's .pc file, as on OpenBSD,
# by sndio's header and library; with sndio out of reach altogether,
# configure fails and names it.  $1 is the cmake to run, $2 a scratch
# directory (removed afterwards), $3 the C++ compiler.
cd "$(dirname "$0")/.." || exit 1
cmake=$1 tmp=$2 cxx=$3
rm -rf "$tmp" && mkdir -p "$tmp/pc" "$tmp/root" || exit 1
trap 'rm -rf "$tmp"' EXIT
jackpc=$(pkg-config --variable=pcfiledir jack)/jack.pc
[ -f "$jackpc" ] || { echo "no jack.pc"; exit 1; }
ln -s "$jackpc" "$tmp/pc/jack.pc"
export PKG_CONFIG_PATH="$tmp/pc" PKG_CONFIG_LIBDIR="$tmp/pc"
status=0

"$cmake" -S . -B "$tmp/build" -DCMAKE_CXX_COMPILER="$cxx" \
    -DQUARVELL_TESTS=OFF -DQUARVELL_WERROR=ON >"$tmp/out" 2>&1 &&
    "$cmake" --build "$tmp/build" --target quarvell >>"$tmp/out" 2>&1 ||
    { cat "$tmp/out"; echo "no build without sndio.pc"; exit 1; }
grep -q 'sndio: no sndio.pc; by header and library' "$tmp/out" ||
    { cat "$tmp/out"; echo "configure did not say how it found sndio"; status=1; }

# every find_path and find_library looks under an empty root only
if "$cmake" -S . -B "$tmp/none" -DCMAKE_CXX_COMPILER="$cxx" -DQUARVELL_TESTS=OFF \
    -DCMAKE_FIND_ROOT_PATH="$tmp/root" -DCMAKE_FIND_ROOT_PATH_MODE_INCLUDE=ONLY \
    -DCMAKE_FIND_ROOT_PATH_MODE_LIBRARY=ONLY >"$tmp/out" 2>&1; then
	echo "configure passed without sndio"; status=1
elif ! grep -q 'sndio not found' "$tmp/out"; then
	cat "$tmp/out"; echo "configure failed, but not naming sndio"; status=1
fi
exit $status
