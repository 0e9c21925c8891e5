#!/usr/bin/env bash
# Builds the Debian packages with CPack into build/package/: ksm (the
# programs, demo and manual pages), libksm1 (the shared library), libksm-dev
# (header, pkg-config and CMake files, ksm(3), the C example) and python3-ksm
# (the Python module, where the build makes it). Then checks them: each
# package's control fields and files, that apt can resolve their
# dependencies, and, all unpacked with dpkg-deb -x into one tree, the same
# checks as an installed tree (the compiler remakes the shipped demo map, the
# viewer and the Python module run it, --version, the manual pages).
#
#   scripts/package.sh
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build"
out="$build/package"

bash "$root/scripts/setup.sh" "$build"
rm -f "$out"/*.deb
(cd "$build" && cpack -G DEB -B "$out" >"$out.log" 2>&1) || { cat "$out.log" >&2; exit 1; }

fail() { echo "FAIL: $*" >&2; exit 1; }
packages=(ksm libksm1 libksm-dev)
# The Python module is built where pybind11 is found (KSM_PYTHON).
compgen -G "$out/python3-ksm_*_amd64.deb" >/dev/null && packages+=(python3-ksm)
version=""
debs=()
for name in "${packages[@]}"; do
  found=("$out/${name}_"*_amd64.deb)
  [ "${#found[@]}" = 1 ] && [ -f "${found[0]}" ] || fail "no ${name}_*_amd64.deb in $out"
  deb="${found[0]}"
  debs+=("$deb")
  field() { dpkg-deb -f "$deb" "$1"; }
  [ -n "$version" ] || version="$(field Version)"
  [ "$(field Package)" = "$name" ] || fail "$deb is the package $(field Package)"
  [ "$(basename "$deb")" = "${name}_${version}_amd64.deb" ] || fail "$deb does not match version $version"
  [ "$(field Architecture)" = amd64 ] || fail "$name: architecture is $(field Architecture)"
  [ -n "$(field Description)" ] && [ -n "$(field Maintainer)" ] || fail "$name: no description or maintainer"
  depends="$(field Depends)"
  # What each package must depend on, and the files only it may hold.
  case "$name" in
    ksm) needs="libc6 libstdc++6 glut"; own='^usr/(bin|share/ksm|share/doc/ksm|share/man/man[15])/' ;;
    libksm1) needs="libc6 libstdc++6 libassimp"; own='^usr/(lib/libksm\.so\.[0-9.]+|share/doc/libksm1/.*)$' ;;
    libksm-dev) needs="libksm1 (= $version)"; own='^usr/(include/ksm/|lib/libksm\.so$|lib/pkgconfig/ksm\.pc$|lib/cmake/ksm/|share/man/man3/|share/doc/libksm-dev/)' ;;
    python3-ksm) needs="libksm1 (= $version) python3-numpy"; own='^usr/(lib/python3/dist-packages/ksm\.[^/]*\.so$|share/doc/python3-ksm/)' ;;
  esac
  for lib in $needs; do
    [[ "$lib" == "(="* || "$lib" == "$version)" ]] && continue
    [[ "$depends" == *"$lib"* ]] || fail "$name: Depends lacks $lib: $depends"
  done
  stray="$(dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./||' | grep -v '/$' | grep -Ev "$own" || true)"
  [ -z "$stray" ] || fail "$name holds files that belong elsewhere: $stray"
  echo "package: built $(basename "$deb"), depends on $depends"
done

# apt resolves the dependencies the packages name (a simulation: nothing is installed).
if command -v apt-get >/dev/null; then
  apt-get install -s -qq "${debs[@]}" >"$out.apt" 2>&1 || { cat "$out.apt" >&2; fail "apt cannot install the packages"; }
  echo "package: apt resolves their dependencies"
fi

unpacked="$(mktemp -d "${TMPDIR:-/tmp}/ksm_deb.XXXXXX")"
trap 'rm -rf "$unpacked"' EXIT
for deb in "${debs[@]}"; do
  dpkg-deb -x "$deb" "$unpacked"
done
[ "$(ls -A "$unpacked")" = usr ] || fail "the packages hold files outside /usr"
bash "$root/scripts/check_installed.sh" "$unpacked/usr" "$version"
if [[ " ${packages[*]} " == *" python3-ksm "* ]]; then
  PYTHONPATH="$unpacked/usr/lib/python3/dist-packages" /usr/bin/python3 -c "import ksm" ||
    fail "python3 -c 'import ksm' fails from the unpacked packages"
  echo "package: python3 -c 'import ksm' works from the packages"
fi
echo "package: ${debs[*]} passed their checks"

# Debian's own checks, for information: a placeholder maintainer address
# (set KSM_PACKAGE_MAINTAINER when configuring) is their only complaint.
if command -v lintian >/dev/null; then
  echo "package: lintian says:"
  lintian "${debs[@]}" 2>&1 | grep -v "running with root privileges" | sed 's/^/  /' || true
fi
