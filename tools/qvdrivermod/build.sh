#!/usr/bin/env bash
# Builds qvdrivermod.ko out of the source tree: copies the sources to OUTDIR and runs kbuild
# there, with W=1, against the headers of KERNEL_RELEASE (default: the running kernel; 6.1 of
# Debian 12 and 6.12 of Debian 13 are the ones tried). Any compiler warning fails the build.
# Prints the path of the module on its last line.
#   tools/qvdrivermod/build.sh OUTDIR [KERNEL_RELEASE]
set -euo pipefail
if (($# < 1 || $# > 2)); then
    echo "usage: $0 OUTDIR [KERNEL_RELEASE]" >&2
    exit 2
fi
source_dir=$(cd "$(dirname "$0")" && pwd)
out=$1
release=${2:-$(uname -r)}
headers=/lib/modules/$release/build
if [[ ! -d $headers ]]; then
    echo "build.sh: no kernel headers at $headers (apt-get install linux-headers-$release)" >&2
    exit 1
fi
mkdir -p "$out"
out=$(cd "$out" && pwd)
rm -f "$out"/*.c "$out"/*.h "$out"/*.o "$out"/*.ko
cp "$source_dir"/*.c "$source_dir"/*.h "$source_dir"/Kbuild "$source_dir"/Makefile "$out"/
make -C "$headers" M="$out" W=1 modules >"$out/build.log" 2>&1 || {
    cat "$out/build.log" >&2
    exit 1
}
cat "$out/build.log" >&2
if grep -q 'warning:' "$out/build.log"; then
    echo "build.sh: the module built with the warnings above" >&2
    exit 1
fi
echo "$out/qvdrivermod.ko"
