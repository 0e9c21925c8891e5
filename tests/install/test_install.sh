#!/usr/bin/env bash
# Installs the build into a scratch DESTDIR under another prefix and checks
# the installed tree with the same checker the packaging script uses.
set -euo pipefail
build="${KSM_BUILD_DIR:?}"
src="${KSM_SOURCE_DIR:?}"
stage="$(mktemp -d "${TMPDIR:-/tmp}/ksm_install.XXXXXX")"
trap 'rm -rf "$stage"' EXIT
DESTDIR="$stage" cmake --install "$build" --prefix /opt/ksm >"$stage.log" 2>&1 ||
  { cat "$stage.log" >&2; rm -f "$stage.log"; exit 1; }
rm -f "$stage.log"
# Nothing lands outside the prefix.
[ "$(ls -A "$stage")" = opt ] && [ "$(ls -A "$stage/opt")" = ksm ] ||
  { echo "FAIL: files outside the prefix: $(ls -A "$stage")" >&2; exit 1; }
bash "$src/scripts/check_installed.sh" "$stage/opt/ksm" "${KSM_VERSION:?}"
