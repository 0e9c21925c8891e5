#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds the example from the
# installed tree alone, once through find_package(ksm) and once through
# pkg-config; each build's checksum equals the headless viewer's.
set -euo pipefail
build="${KSM_BUILD_DIR:?}"
src="${KSM_SOURCE_DIR:?}"
prefix="$(mktemp -d "${TMPDIR:-/tmp}/ksm_prefix.XXXXXX")"
trap 'rm -rf "$prefix"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
# In the instrumented build the library needs the sanitizer's run-time, which
# the example (built without it) loads after its own libraries.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
cmake --install "$build" --prefix "$prefix/usr" >"$prefix/install.log" 2>&1 || { cat "$prefix/install.log" >&2; exit 1; }
root="$prefix/usr"
demo="$root/share/ksm/demo"
examples="$root/share/doc/libksm-dev/examples"
[ -f "$examples/ksm_demo.c" ] || fail "no example installed"
want="$(env -u DISPLAY "$build/viewer/app/ksm_viewer_headless" --headless --frames 1000 --seed 1 \
        "$build/demo/demo.ksm" --config "$src/data/demo/config.ini" 2>/dev/null | sed -n 's/^checksum: //p')"
[ -n "$want" ] || fail "the headless viewer printed no checksum"

# CMake: the installed package only (the build tree's is never registered).
cmake -S "$examples" -B "$prefix/cmake_build" -DCMAKE_PREFIX_PATH="$root" -DCMAKE_FIND_PACKAGE_NO_PACKAGE_REGISTRY=ON \
  >"$prefix/cmake.log" 2>&1 && cmake --build "$prefix/cmake_build" >>"$prefix/cmake.log" 2>&1 ||
  { cat "$prefix/cmake.log" >&2; fail "the example does not build through find_package(ksm)"; }
got="$("$prefix/cmake_build/ksm_demo" "$demo" "$prefix/a.ksm" | sed -n 's/^checksum: //p')"
[ "$got" = "$want" ] || fail "through CMake: checksum $got, the viewer's $want"
echo "find_package(ksm): checksum $got"

# pkg-config.
pc="$(dirname "$(find "$root" -name ksm.pc | head -n1)")"
flags="$(PKG_CONFIG_PATH="$pc" pkg-config --cflags --libs ksm)" || fail "pkg-config does not know ksm"
cc -std=c99 -Wall -Wextra -Werror "$examples/ksm_demo.c" $flags -o "$prefix/ksm_demo_pc" ||
  fail "the example does not build with: $flags"
libdir="$(PKG_CONFIG_PATH="$pc" pkg-config --variable=libdir ksm)"
got="$(LD_LIBRARY_PATH="$libdir" "$prefix/ksm_demo_pc" "$demo" "$prefix/b.ksm" | sed -n 's/^checksum: //p')"
[ "$got" = "$want" ] || fail "through pkg-config: checksum $got, the viewer's $want"
echo "pkg-config ksm ($flags): checksum $got"
