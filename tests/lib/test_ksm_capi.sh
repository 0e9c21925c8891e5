#!/usr/bin/env bash
# The library's checksum after the demo's frames equals the headless viewer's
# for the same map, settings and seed.
set -euo pipefail
build="${KSM_BUILD_DIR:?}"
src="${KSM_SOURCE_DIR:?}"
scratch="$(mktemp -d "${TMPDIR:-/tmp}/ksm_capi.XXXXXX")"
trap 'rm -rf "$scratch"' EXIT
demo="$src/data/demo"
frames=300 seed=7
sum="$("$build/viewer/app/ksm_viewer_headless" --headless --frames $frames --seed $seed \
       "$build/demo/demo.ksm" --config "$demo/config.ini" 2>/dev/null | sed -n 's/^checksum: //p')"
[ -n "$sum" ] || { echo "FAIL: the headless viewer printed no checksum" >&2; exit 1; }
"$build/tests/test_ksm_capi" "$demo/demo.ksd" "$demo/src" "$build/demo/demo.ksm" "$demo/config.ini" \
  $frames $seed "$sum" "$scratch"
