#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian package from a release build, lints the manual pages and the package,
# installs it, and runs the installed unbcl and bcl on the example archive in a scratch
# directory, then the completion test against the installed completion. Needs root (dpkg -i).
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build-package}
# UNBCL_BCL=OFF checks the package of unbcl alone.
with_bcl=${UNBCL_BCL:-ON}

fail() {
  printf 'check-deb: %s\n' "$*" >&2
  exit 1
}

cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DUNBCL_TESTS=OFF -DUNBCL_WERROR=ON -DUNBCL_BCL="$with_bcl"
cmake --build "$build" -j2

pages=("$build"/man/unbcl.1)
[ "$with_bcl" = OFF ] || pages+=("$build"/man/bcl.1)
warnings=$(for page in "${pages[@]}"; do groff -man -Tutf8 -ww "$page" 2>&1 >/dev/null; done)
[ -z "$warnings" ] || fail "the manual pages have groff warnings:"$'\n'"$warnings"
warnings=$(mandoc -T lint "${pages[@]}" 2>&1) || true
[ -z "$warnings" ] || fail "the manual pages have mandoc messages:"$'\n'"$warnings"

(cd "$build" && rm -f unbcl_*.deb && cpack -G DEB)
deb=$(echo "$build"/unbcl_*.deb)

# Every tag is shown, overridden ones too; errors and warnings fail the check.
echo "== lintian $deb"
status=0
tags=$(lintian --display-info --pedantic --show-overrides --fail-on error,warning "$deb" 2>/dev/null) || status=$?
[ -z "$tags" ] || printf '%s\n' "$tags"
errors=$(grep -c '^E: ' <<<"$tags" || true)
lintian_warnings=$(grep -c '^W: ' <<<"$tags" || true)
echo "lintian: $errors errors, $lintian_warnings warnings"
[ "$status" = 0 ] && [ "$errors" = 0 ] && [ "$lintian_warnings" = 0 ] || fail "lintian is not clean (exit $status)"

dpkg -i "$deb"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cp "$src"/examples/MOLVARE.BCL "$src"/examples/MOLVARE.BCD "$scratch"/
[ "$(command -v unbcl)" = /usr/bin/unbcl ] || fail "unbcl is not /usr/bin/unbcl on the PATH"
(cd "$scratch" && unbcl > listing)
grep -qx 'listFname : MOLVARE.BCL' "$scratch/listing"
python3 "$src/examples/make-example.py" --check "$scratch"
man -w unbcl
for f in /usr/share/doc/unbcl/copyright /usr/share/doc/unbcl/changelog.gz /usr/share/man/man1/unbcl.1.gz; do
  [ -f "$f" ] || fail "$f is not installed"
done
! readelf -S /usr/bin/unbcl | grep -q '\.comment' || fail "/usr/bin/unbcl still has a .comment section"
if [ "$with_bcl" = OFF ]; then
  [ ! -e /usr/bin/bcl ] || fail "bcl is installed although it was not built"
else
  [ "$(command -v bcl)" = /usr/bin/bcl ] || fail "bcl is not /usr/bin/bcl on the PATH"
  (cd "$scratch" && bcl test)
  (cd "$scratch" && bcl list) | tail -n 1 | grep -qx '4 members, 388 bytes' || fail "bcl list does not list the example"
  version=$(dpkg-query -W -f='${Version}' unbcl)
  [ "$(bcl --version)" = "bcl $version" ] || fail "bcl --version does not say $version"
  man -w bcl
  [ -f /usr/share/man/man1/bcl.1.gz ] || fail "/usr/share/man/man1/bcl.1.gz is not installed"
  ! readelf -S /usr/bin/bcl | grep -q '\.comment' || fail "/usr/bin/bcl still has a .comment section"

  completion=$(pkg-config --variable=completionsdir bash-completion)/bcl
  [ -f "$completion" ] || fail "$completion is not installed"
  bash "$src/packaging/test-completion.sh" "$completion" /usr/bin/bcl
fi

dpkg -s unbcl | grep -E '^(Package|Version):'
echo "check-deb: package built, linted, installed and run"
