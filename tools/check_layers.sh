#!/usr/bin/env bash
# The module's folders are layers, each using only those below it:
#   diag/ < base/ < launcher/ < script/ < plugin/
# Lists every include of a module header from a layer above, and fails if there is one.
set -euo pipefail
module=$(cd "$(dirname "$0")/../npkelvra" && pwd)
layers=(diag base launcher script plugin)
rank() {
  local i
  for i in "${!layers[@]}"; do [ "${layers[$i]}" = "$1" ] && echo "$i" && return; done
  echo -1
}
faults=0
for layer in "${layers[@]}"; do
  own=$(rank "$layer")
  while IFS= read -r line; do
    file=${line%%:*}
    target=$(sed -E 's/.*#include "([a-z]+)\/.*/\1/' <<<"$line")
    used=$(rank "$target")
    if [ "$used" -gt "$own" ]; then
      echo "layers: ${file#"$module"/} uses $target/, a layer above $layer/"
      faults=$((faults + 1))
    fi
  done < <(grep -HE '^#include "[a-z]+/' "$module/$layer"/*.cpp "$module/$layer"/*.h 2>/dev/null || true)
done
[ "$faults" -eq 0 ] && echo "layers: every include points down (${layers[*]})"
exit $((faults > 0))
