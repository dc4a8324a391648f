#!/usr/bin/env bash
# Checks that the module's folders include one another in one direction only: a file may include
# headers of its own folder and of the folders below it in the plan (docs/architecture.md), never
# one above it or beside it, and never host/, companions/ or tools/ (the host is reached through
# shell/host.h alone). Prints every include that breaks the plan; exit status 1 when there is one.
#
#   scripts/check_includes.sh [SOURCE_DIR]
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}

# The plan, lowest first; folders on one line are side by side and include neither one another.
plan=(
  "shell"
  "template"
  "web"
  "catalogue"
  "orders"
  "browse checkout"
  "entry"
)

declare -A level
for i in "${!plan[@]}"; do
  for folder in ${plan[$i]}; do level[$folder]=$i; done
done

status=0
for folder in "${!level[@]}"; do
  [ -d "$root/$folder" ] || continue
  while IFS= read -r -d '' file; do
    line_number=0
    while IFS= read -r line; do
      line_number=$((line_number + 1))
      [[ $line =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*\"([^/\"]+)/[^\"]*\" ]] || continue
      target=${BASH_REMATCH[1]}
      [ "$target" = "$folder" ] && continue
      case $target in
        host|companions|tools)
          echo "${file#$root/}:$line_number: $folder/ includes $target/, outside the module: $line"
          status=1
          continue ;;
      esac
      [ -n "${level[$target]+set}" ] || continue
      if (( level[$target] >= level[$folder] )); then
        echo "${file#$root/}:$line_number: $folder/ includes $target/, which is not below it: $line"
        status=1
      fi
    done < "$file"
  done < <(find "$root/$folder" -type f \( -name '*.h' -o -name '*.cpp' \) -print0 | sort -z)
done
exit $status
