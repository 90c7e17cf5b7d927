#!/usr/bin/env bash
# Builds the Debian package from a release build, installs it, and runs the installed unbcl
# on the example archive in a scratch directory. Needs root (dpkg -i).
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build-package}

cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DUNBCL_TESTS=OFF -DUNBCL_WERROR=ON
cmake --build "$build" -j2
warnings=$(for page in "$build"/man/unbcl.1 "$build"/man/bcl.1; do groff -man -Tutf8 -ww "$page" 2>&1 >/dev/null; done)
if [ -n "$warnings" ]; then
  printf 'check-deb: the manual page has groff warnings:\n%s\n' "$warnings" >&2
  exit 1
fi
(cd "$build" && rm -f unbcl_*.deb && cpack -G DEB)
dpkg -i "$build"/unbcl_*.deb

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cp "$src"/examples/MOLVARE.BCL "$src"/examples/MOLVARE.BCD "$scratch"/
[ "$(command -v unbcl)" = /usr/bin/unbcl ] || { echo "check-deb: unbcl is not /usr/bin/unbcl on the PATH" >&2; exit 1; }
(cd "$scratch" && unbcl > listing)
grep -qx 'listFname : MOLVARE.BCL' "$scratch/listing"
python3 "$src/examples/make-example.py" --check "$scratch"
[ "$(command -v bcl)" = /usr/bin/bcl ] || { echo "check-deb: bcl is not /usr/bin/bcl on the PATH" >&2; exit 1; }
(cd "$scratch" && bcl test)
man -w unbcl
man -w bcl
dpkg -s unbcl | grep -E '^(Package|Version):'
echo "check-deb: package built, installed and run"
