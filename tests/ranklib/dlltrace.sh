#!/usr/bin/env bash
# Quorle.dll writes one trace line to the debugger output when it is loaded
# and one when it is unloaded. Wine shows debugger output with +debugstr,
# bytes above 0x7F as \xNN escapes; the lines are code page 936 text.
set -euo pipefail
bin=${SUITE_BIN:?SUITE_BIN names the Windows bin folder}
src=${SUITE_SOURCE:?SUITE_SOURCE names the source tree}

escaped() {  # UTF-8 text -> its code page 936 bytes as Wine prints them
  printf '%s' "$1" | iconv -f UTF-8 -t CP936 | od -An -v -tx1 | tr -d ' \n' | sed 's/../\\x&/g'
}
attach="Quorle.DLL $(escaped '正在初始化！')\\n"
detach="Quorle.DLL $(escaped '正在终止！')\\n"

out=$(cd "$bin" && WINEDEBUG=+debugstr "$src/scripts/wine-run" quorlemanager_test.exe \
        --gtest_filter=QuorleCreateTest.VersionsAcceptedAndRefused 2>&1)
n_attach=$(grep -cF "OutputDebugStringA \"$attach\"" <<<"$out" || true)
n_detach=$(grep -cF "OutputDebugStringA \"$detach\"" <<<"$out" || true)
echo "attach lines: $n_attach, detach lines: $n_detach"
# The test loads and frees the library once per case: 14 cases.
if [ "$n_attach" -lt 14 ] || [ "$n_attach" != "$n_detach" ]; then
  echo "expected one attach and one detach line per load" >&2
  grep -a "Quorle" <<<"$out" >&2 || true
  exit 1
fi
