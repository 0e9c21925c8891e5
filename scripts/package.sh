#!/usr/bin/env bash
# Builds the Debian package build/package/ksm_<version>_amd64.deb with CPack,
# then checks it: its control fields, that apt can resolve its dependencies,
# and, unpacked with dpkg-deb -x, the same checks as an installed tree (the
# compiler remakes the shipped demo map, the viewer runs it, --version, the
# manual pages).
#
#   scripts/package.sh
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build"
out="$build/package"

bash "$root/scripts/setup.sh" "$build"
rm -f "$out"/ksm_*.deb
(cd "$build" && cpack -G DEB -B "$out" >"$out.log" 2>&1) || { cat "$out.log" >&2; exit 1; }
debs=("$out"/ksm_*_amd64.deb)
[ "${#debs[@]}" = 1 ] && [ -f "${debs[0]}" ] || { echo "package: no ksm_*_amd64.deb in $out" >&2; exit 1; }
deb="${debs[0]}"
echo "package: built $deb"

fail() { echo "FAIL: $*" >&2; exit 1; }
field() { dpkg-deb -f "$deb" "$1"; }
version="$(field Version)"
[ "$(basename "$deb")" = "ksm_${version}_amd64.deb" ] || fail "file name does not match version $version"
[ "$(field Architecture)" = amd64 ] || fail "architecture is $(field Architecture)"
depends="$(field Depends)"
for lib in libc6 libstdc++6 glut; do
  [[ "$depends" == *"$lib"* ]] || fail "Depends lacks $lib: $depends"
done
[ -n "$(field Description)" ] && [ -n "$(field Maintainer)" ] || fail "no description or maintainer"
echo "package: version $version, depends on $depends"

# apt resolves the dependencies the package names (a simulation: nothing is installed).
if command -v apt-get >/dev/null; then
  apt-get install -s -qq "$deb" >"$out.apt" 2>&1 || { cat "$out.apt" >&2; fail "apt cannot install the package"; }
  echo "package: apt resolves its dependencies"
fi

unpacked="$(mktemp -d "${TMPDIR:-/tmp}/ksm_deb.XXXXXX")"
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"
[ "$(ls -A "$unpacked")" = usr ] || fail "the package holds files outside /usr"
bash "$root/scripts/check_installed.sh" "$unpacked/usr" "$version"
echo "package: $deb passed its checks"

# Debian's own checks, for information: a placeholder maintainer address
# (set KSM_PACKAGE_MAINTAINER when configuring) is their only complaint.
if command -v lintian >/dev/null; then
  echo "package: lintian says:"
  lintian "$deb" 2>&1 | grep -v "running with root privileges" | sed 's/^/  /' || true
fi
